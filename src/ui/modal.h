// Every modal dialog of the desktop program runs through here, so that a test can take the
// dialog instead of a person: read it, fill it in and answer it, without sleeping.
#pragma once

#include <QDialog>
#include <functional>

namespace ui {

// Runs the dialog modally and returns its result (QDialog::Accepted or Rejected).
int runModal(QDialog* dialog);

// Tests: each dialog that would be run is handed to the hook instead, which returns the result.
using ModalHook = std::function<int(QDialog* dialog)>;
void setModalHook(ModalHook hook);

}  // namespace ui
