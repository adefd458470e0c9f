// The rules and settings dialogs filled with example content, for the screenshot tour: each is
// built (not shown) and named by the PNG file it is saved as.
#pragma once

#include <QWidget>
#include <string>
#include <utility>
#include <vector>

// The rules list, the rule editor in its basic and its advanced view, and the settings sheet on
// each of its five pages, all children of `parent`. The example rules, settings and certificate
// live until the program ends.
std::vector<std::pair<std::string, QWidget*>> makeDialogShots(QWidget* parent);
