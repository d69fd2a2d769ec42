#pragma once

#include "plugin_registrar.h"

// Registers the plugins the user interface uses, in a fixed order.
void RegisterAppPlugins(flutter::PluginRegistry* registry);
