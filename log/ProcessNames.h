// The two process-wide names the log hands to the log server: the host
// executable's file name and the plug-in library's file name.
#pragma once

#include <string>

// Both are empty until the process log's start-up sets them, and are only
// read afterwards. Accessors (not plain globals) so that they are usable from
// the library's load-time initialisation, whatever the order of static
// construction.
const std::string& HostExeName();
const std::string& PluginFileName();
void SetProcessNames(const std::string& HostExeName, const std::string& PluginFileName);
