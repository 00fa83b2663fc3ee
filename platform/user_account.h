#pragma once

#include <string>

struct UserEnvironment {
  std::string xdgDataHome;  // $XDG_DATA_HOME; ignored unless absolute
  std::string home;         // $HOME, else the account's home folder; empty where there is none
};

// The running user's environment. On Windows it is empty: the program keeps its data in its own
// folder there.
UserEnvironment userEnvironment();
