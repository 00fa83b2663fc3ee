#include "app/app_context.h"

#include "device/http_service.h"
#include "discovery/discovery_listener.h"

AppContext::AppContext(std::string folder, AppConfig loaded)
    : exeFolder(std::move(folder)),
      config(std::move(loaded.document)),
      notificationPort(loaded.notificationPort),
      searchPort(loaded.searchPort),
      language(std::move(loaded.language)) {}

AppContext::~AppContext() = default;
