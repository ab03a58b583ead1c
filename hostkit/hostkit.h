// The default host components: everything a host (dtk-agent, the tests) needs
// to hand the library its configuration, utility and identity components.
#pragma once

#include "IConfig.h"
#include "Util.h"
#include "WinApi.h"
#include "config_store.h"
#include "host_log.h"
#include "identity.h"
#include "password_util.h"
#include "persistent_config.h"
#include "winapi_wrapper.h"
