#include "platform/user_account.h"

UserEnvironment userEnvironment() {
  return {};
}
