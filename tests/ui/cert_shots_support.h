// The certificate dialogs and the buffer view for the screenshot tour, built with example content
// and returned, not shown: the tour shows each, saves a PNG under the given name and closes it.
//
// The widgets belong to `parent` (or to the caller when it is null). Everything a dialog reads is
// read while it is built, from certificates the openssl tool makes in a temporary folder that is
// gone again when the function returns; only the buffer view goes on taking data afterwards.
#pragma once

#include <QWidget>
#include <string>
#include <utility>
#include <vector>

namespace ui {
class RelayBridge;
}

// "passphrase.png", "client-certificate.png", "load-failure.png", "viewer-x509.png",
// "viewer-issuer.png", "viewer-cert-info.png", "viewer-extensions.png" and "buffer-view.png". The
// buffer view holds an example exchange (an HTTP request and its answer).
std::vector<std::pair<std::string, QWidget*>> makeCertificateShots(QWidget* parent);

// The same, but the buffer view starts empty and takes what `chunks` hands over from now on: the
// tour runs traffic through a relay started with "sniffer" on that bridge, then takes the shot,
// which shows the real relayed bytes.
std::vector<std::pair<std::string, QWidget*>> makeCertificateShots(QWidget* parent,
                                                                   ui::RelayBridge* chunks);
