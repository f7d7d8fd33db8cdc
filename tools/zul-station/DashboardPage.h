// The dashboard's one page: markup, style and script in one text, nothing
// fetched from another host.
#pragma once

#include <string>

const std::string& DashboardPage();
