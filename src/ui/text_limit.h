// The length limits of texts typed into the dialogs. A text the store keeps may have at most 259
// bytes (the store reads values of up to 260 bytes, terminating zero included): a longer one
// would be written but never read back, and a rule with such a text would end the loading of
// the rules. Limits count UTF-8 bytes, as the store does.
#pragma once

#include <QLineEdit>
#include <QString>
#include <QValidator>

namespace ui {

inline constexpr int kStoredTextLimit = 259;

bool fitsLimit(const QString& text, int bytes = kStoredTextLimit);

// Refuses an edit (typed or pasted) that would make the text longer than its limit: the text
// stays as it was, never cut to a part of what was pasted.
class ByteLimitValidator final : public QValidator {
 public:
  ByteLimitValidator(int bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
  State validate(QString& input, int& pos) const override;

 private:
  int bytes_;
};

void limitText(QLineEdit* edit, int bytes = kStoredTextLimit);

// A path a browse dialog or a drop gave: true when the store can keep it, else the user is told
// (a box titled `title`) and false.
bool pathFits(QWidget* parent, const QString& title, const QString& path);

}  // namespace ui
