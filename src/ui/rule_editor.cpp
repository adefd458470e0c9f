#include "ui/rule_editor.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QScrollArea>
#include <QSysInfo>
#include <QTimer>
#include <algorithm>

#include "log/log.h"
#include "platform/system.h"
#include "ui/certificate_files.h"
#include "ui/certificate_viewer.h"
#include "ui/help.h"
#include "ui/message_box.h"
#include "ui/modal.h"
#include "ui/screen_fit.h"
#include "ui/text_limit.h"
#include "ui_rule_editor.h"

namespace ui {
namespace {

constexpr char kInvalidRule[] = "Invalid rule entered";
// The combo box's dynamic property holding the "Send PROXY header" value the rule came with.
constexpr char kLoadedSend[] = "loadedSend";

const char* const kMaskWords[] = {
    "0.0.0.0", "255.255.255.255", "255.0.0.0", "255.255.0.0",        "255.255.255.0",
    "A net",   "B net",           "C net",     "Local Machine Only", "All"};

QString qs(const std::string& text) { return QString::fromStdString(text); }
std::string text(const QComboBox* combo) { return combo->currentText().toStdString(); }

// The port texts of "port.list", each number followed by the service registered for it.
QStringList portEntries(const RuleDialogContext& context) {
  QStringList entries;
  for (const std::string& text : context.ports) {
    const QString entry = qs(text);
    if (entry.isEmpty()) continue;
    entries << entry;
    bool number = false;
    const uint port = entry.toUInt(&number);
    if (!number || port == 0 || port > 65535) continue;
    const std::string name = platform::tcpServiceName(static_cast<uint16_t>(port));
    if (!name.empty()) entries << qs(name);
  }
  return entries;
}

QStringList hostEntries(const RuleDialogContext& context, bool withAnyAddress) {
  QStringList entries{"localhost"};
  if (withAnyAddress) entries << "0.0.0.0";
  entries << QSysInfo::machineHostName();
  for (const std::string& host : context.hosts) entries << qs(host);
  return entries;
}

void fillSorted(QComboBox* combo, const QStringList& entries) {
  for (const QString& entry : entries) addSorted(combo, entry);
}

// A send value without an entry leaves the combo box with none chosen, so that OK keeps it.
void fillProxyHeader(Ui::RuleEditor* form, const RuleForm& f) {
  form->proxyAccept->setChecked(f.proxyAccept);
  const bool listed = f.proxySend < static_cast<uint32_t>(form->proxySend->count());
  form->proxySend->setCurrentIndex(listed ? static_cast<int>(f.proxySend) : -1);
  form->proxySend->setProperty(kLoadedSend, f.proxySend);
}

void readProxyHeader(const Ui::RuleEditor* form, RuleForm* f) {
  f->proxyAccept = form->proxyAccept->isChecked();
  const int chosen = form->proxySend->currentIndex();
  f->proxySend =
      chosen >= 0 ? static_cast<uint32_t>(chosen) : form->proxySend->property(kLoadedSend).toUInt();
}

}  // namespace

void addSorted(QComboBox* combo, const QString& entry) {
  if (entry.isEmpty() || combo->findText(entry, Qt::MatchFixedString | Qt::MatchCaseSensitive) >= 0)
    return;
  int at = 0;
  while (at < combo->count() &&
         QString::compare(combo->itemText(at), entry, Qt::CaseInsensitive) < 0)
    ++at;
  combo->insertItem(at, entry);
}

void addAndShow(QComboBox* combo, const QString& entry) {
  addSorted(combo, entry);
  combo->setCurrentText(entry);
}

RuleEditor::RuleEditor(QWidget* parent, const config::ccRule* rule, RuleDialogContext context)
    : QDialog(parent), form_(std::make_unique<Ui::RuleEditor>()), context_(std::move(context)) {
  form_->setupUi(this);
  // The controls go into a scroll area that is as large as they are, unless the screen is
  // smaller; the buttons stay below it.
  auto* parts = new QWidget(this);
  form_->topLayout->removeItem(form_->partsLayout);
  parts->setLayout(form_->partsLayout);
  scroll_ = new QScrollArea(this);
  scroll_->setWidget(parts);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  form_->topLayout->insertWidget(0, scroll_);
  form_->topLayout->setSizeConstraint(QLayout::SetDefaultConstraint);
  setAcceptDrops(true);
  for (QComboBox* combo : findChildren<QComboBox*>()) limitText(combo->lineEdit());
  limitText(form_->proxyUser);
  limitText(form_->proxyPassword);
  // The combo box takes the focus itself and hands it to its line edit directly.
  form_->sourceMask->installEventFilter(this);
  connect(form_->ok, &QPushButton::clicked, this, &RuleEditor::accept);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(form_->help, &QPushButton::clicked, this,
          [this] { showHelp(this, context_.programFolder); });
  connect(form_->advanced, &QPushButton::clicked, this, [this] { setAdvancedShown(!advanced_); });
  for (QRadioButton* mode : {form_->direct, form_->useSocks, form_->useHttpsProxy}) {
    connect(mode, &QRadioButton::toggled, this, &RuleEditor::modeChanged);
  }
  connect(form_->browseCert, &QPushButton::clicked, this, &RuleEditor::browseCertificate);
  connect(form_->browseKey, &QPushButton::clicked, this, &RuleEditor::browseKey);
  connect(form_->view, &QPushButton::clicked, this, &RuleEditor::viewCertificate);
  setAdvancedShown(false);
  fillLists();
  fillFrom(rule != nullptr ? formOfRule(*rule) : newRuleForm(), rule != nullptr);
}

RuleEditor::~RuleEditor() = default;

void RuleEditor::fillLists() {
  fillSorted(form_->sourceHost, hostEntries(context_, true));
  fillSorted(form_->destHost, hostEntries(context_, false));
  for (const char* word : kMaskWords) addSorted(form_->sourceMask, word);
  const QStringList ports = portEntries(context_);
  fillSorted(form_->listenPort, ports);
  fillSorted(form_->destPort, ports);
}

void RuleEditor::fillFrom(const RuleForm& f, bool existing) {
  if (!f.ifAddr.empty()) form_->interfaceIp->setCurrentText(qs(f.ifAddr));
  form_->sourceHost->setCurrentText(qs(f.peerAddr));
  form_->sourceMask->setCurrentText(qs(f.peerMask));
  form_->listenPort->setCurrentText(qs(f.peerPort));
  QRadioButton* const modes[] = {form_->direct, form_->useSocks, form_->useHttpsProxy};
  if (f.mode >= 0 && f.mode < 3) modes[f.mode]->setChecked(true);
  form_->destHost->setCurrentText(qs(f.destAddr));
  form_->destPort->setCurrentText(qs(f.destPort));
  modeChanged();
  QRadioButton* const roles[] = {form_->plugGw, form_->sslClient, form_->sslServer,
                                 form_->sslProxy};
  if (f.role >= 0 && f.role < 4) roles[f.role]->setChecked(true);
  if (existing) fillCertificateLists(f);
  form_->verifyServer->setChecked(f.verifyServer);
  form_->verifyClient->setChecked(f.verifyClient);
  form_->disableRule->setChecked(f.disable);
  form_->proxyEnable->setChecked(f.proxyEnable);
  form_->proxyNtlm->setChecked(f.proxyNtlm);
  addAndShow(form_->proxyHost, qs(f.proxyServer));
  addAndShow(form_->proxyPort, qs(f.proxyPort));
  form_->proxyUser->setText(qs(f.proxyUser));
  form_->proxyPassword->setText(qs(f.proxyPassword));
  dropTime_ = f.dropTime;
  fillProxyHeader(form_.get(), f);
}

void RuleEditor::fillCertificateLists(const RuleForm& f) {
  const QStringList files = certificateFilesIn(context_.programFolder);
  fillSorted(form_->cert, files);
  fillSorted(form_->key, files);
  addAndShow(form_->cert, qs(f.cert));
  addAndShow(form_->key, qs(f.key));
  if (!f.cert.empty()) showSubject();
}

RuleForm RuleEditor::readForm() const {
  RuleForm f;
  f.ifAddr = text(form_->interfaceIp);
  f.peerAddr = text(form_->sourceHost);
  f.peerPort = text(form_->listenPort);
  f.peerMask = text(form_->sourceMask);
  f.mode = -1;
  if (form_->direct->isChecked()) f.mode = config::kConnectDirect;
  if (form_->useSocks->isChecked()) f.mode = config::kConnectSocks;
  if (form_->useHttpsProxy->isChecked()) f.mode = config::kConnectHttp;
  f.destAddr = text(form_->destHost);
  f.destPort = text(form_->destPort);
  f.role = config::kRolePlug;
  if (form_->sslClient->isChecked()) f.role = config::kRoleClient;
  if (form_->sslServer->isChecked()) f.role = config::kRoleServer;
  if (form_->sslProxy->isChecked()) f.role = config::kRoleProxy;
  f.verifyServer = form_->verifyServer->isChecked();
  f.verifyClient = form_->verifyClient->isChecked();
  f.cert = text(form_->cert);
  f.key = text(form_->key);
  f.disable = form_->disableRule->isChecked();
  f.proxyEnable = form_->proxyEnable->isChecked();
  f.proxyServer = text(form_->proxyHost);
  f.proxyPort = text(form_->proxyPort);
  f.proxyNtlm = form_->proxyNtlm->isChecked();
  f.proxyUser = form_->proxyUser->text().toStdString();
  f.proxyPassword = form_->proxyPassword->text().toStdString();
  f.dropTime = dropTime_;
  readProxyHeader(form_.get(), &f);
  return f;
}

void RuleEditor::accept() {
  std::string why;
  built_ = buildRule(readForm(), context_.programFolder, &why);
  if (!built_) {
    log_event(LOG_WARNING, 0x6001, "driver", __LINE__, "Rule not taken: %s", why.c_str());
    // The reason the log gives is the box's second text: the user sees what to mend.
    MessageBox::show(this, QMessageBox::Warning, "Brisklane 4", kInvalidRule, QMessageBox::Ok,
                     QMessageBox::Ok, QString::fromStdString(why));
    return;
  }
  QDialog::accept();
}

void RuleEditor::setAdvancedShown(bool shown) {
  advanced_ = shown;
  form_->advancedPart->setVisible(shown);
  fitToScreen();
}

void RuleEditor::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Shown, the controls have their real sizes (style and fonts applied).
  fitToScreen();
}

void RuleEditor::fitToScreen() {
  // The size of what the dialog shows (its controls and the buttons below them), then bounded by
  // the screen it opens on. The scroll area's own size hint stops at a few hundred pixels.
  QWidget* parts = scroll_->widget();
  parts->layout()->invalidate();
  const QSize controls = parts->sizeHint();
  const QSize buttons = form_->buttonLayout->sizeHint();
  const QMargins m = layout()->contentsMargins();
  const QSize wanted(
      std::max(controls.width(), buttons.width()) + m.left() + m.right(),
      controls.height() + layout()->spacing() + buttons.height() + m.top() + m.bottom());
  const QPoint near = parentWidget() != nullptr ? parentWidget()->geometry().center() : pos();
  const QRect room = roomOnScreen(this, near);
  const QRect frame = keptInside(QRect(pos(), wanted), room);
  resize(frame.size());
  if (frame.topLeft() != pos()) move(frame.topLeft());
}

void RuleEditor::modeChanged() {
  const bool direct = form_->direct->isChecked();
  form_->destHost->setEnabled(direct);
  form_->destPort->setEnabled(direct);
}

void RuleEditor::chooseCertificate(const QString& path) {
  form_->cert->setFocus();
  addAndShow(form_->cert, path);
  form_->cert->lineEdit()->selectAll();
  showSubject();
}

void RuleEditor::browseCertificate() {
  const QString path = browseCertificateFile(this, "Select Certificate");
  if (!path.isEmpty() && pathFits(this, "Select Certificate", path)) chooseCertificate(path);
}

void RuleEditor::browseKey() {
  const QString path = browseCertificateFile(this, "Select Keyfile");
  if (path.isEmpty() || !pathFits(this, "Select Keyfile", path)) return;
  form_->key->setFocus();
  addAndShow(form_->key, path);
  form_->key->lineEdit()->selectAll();
}

void RuleEditor::showSubject() {
  const std::string file = fileInProgramFolder(text(form_->cert), context_.programFolder);
  form_->soft->setText(certificateSubject(this, qs(file), context_.passphrase));
}

void RuleEditor::viewCertificate() {
  const std::string file = text(form_->cert);
  if (!file.empty()) {
    showCertificateViewer(this, qs(fileInProgramFolder(file, context_.programFolder)),
                          context_.passphrase);
  }
}

void RuleEditor::dropFiles(const QList<QUrl>& urls) {
  // A folder, or anything that is no local file, is no certificate file.
  const bool oneFile = urls.size() == 1 && urls.first().isLocalFile() &&
                       QFileInfo(urls.first().toLocalFile()).isFile();
  if (!oneFile) {
    MessageBox::show(this, QMessageBox::Warning, "Drop Files",
                     "You must drop exactly one certificate file");
    return;
  }
  const QString path = urls.first().toLocalFile();
  if (!pathFits(this, "Drop Files", path)) return;
  raise();
  activateWindow();
  chooseCertificate(path);
}

void RuleEditor::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void RuleEditor::dropEvent(QDropEvent* event) {
  event->acceptProposedAction();
  dropFiles(event->mimeData()->urls());
}

bool RuleEditor::eventFilter(QObject* watched, QEvent* event) {
  if (watched == form_->sourceMask && event->type() == QEvent::FocusIn) fillEmptyMask();
  return QDialog::eventFilter(watched, event);
}

void RuleEditor::fillEmptyMask() {
  if (!form_->sourceMask->currentText().isEmpty()) return;
  QLineEdit* edit = form_->sourceMask->lineEdit();
  edit->setText(qs(maskForHost(text(form_->sourceHost))));
  // After the focus change has placed the cursor, so that the selection stays.
  QTimer::singleShot(0, edit, &QLineEdit::selectAll);
}

config::RuleRef runRuleEditor(QWidget* parent, const config::ccRule* rule,
                              const RuleDialogContext& context) {
  RuleEditor editor(parent, rule, context);
  if (runModal(&editor) != QDialog::Accepted) return config::RuleRef();
  return editor.takeRule();
}

}  // namespace ui
