// The binding of the settings sheet's controls to the fields of the settings record, as data: a
// page is a table of rows, read once to fill the controls and once to store them. Window thread.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <variant>
#include <vector>

#include "config/settings.h"

namespace ui {

// A check box and its switch.
struct CheckRow {
  QAbstractButton* box;
  config::SettingWord config::Settings::*field;
  const char* name;  // the registry value
};
// A text field and its text; an empty field clears the text.
struct TextRow {
  QLineEdit* edit;
  config::SettingText config::Settings::*field;
  const char* name;
};
// A digits-only field and its number, shown and read as a signed number (0 when the text is no
// number).
struct NumberRow {
  QLineEdit* edit;
  config::SettingWord config::Settings::*field;
  const char* name;
};
using BindingRow = std::variant<CheckRow, TextRow, NumberRow>;
using PageBindings = std::vector<BindingRow>;

// Sets the limits of the rows' fields (the store's text length, digits only).
void prepareControls(const PageBindings& rows);
void fillControls(const PageBindings& rows, const config::Settings& record);
void storeControls(const PageBindings& rows, config::Settings* record);

}  // namespace ui
