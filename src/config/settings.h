// The settings record: every global option of the relay, loaded from the settings key
// "Software\Tandry\Brisklane 4" of the chosen hive and saved back to it.
//
// The relay runs on a record it never changes (`ccSettings` of its configuration, relay/relay.h);
// a front end edits a copy and hands it back whole. Loading and saving run on whichever thread
// holds the record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/setting_value.h"
#include "platform/registry.h"

namespace config {

constexpr int kMaxLocalNets = 16;
constexpr int kMaxSslPorts = 16;
constexpr int kMaxListEntries = 16;

struct Settings {
  SettingText sslCaCert;                            // "ssl.ca_cert"
  SettingText sslCrlLists;                          // "ssl.crl_lists"
  SettingWord crlCheckEnable;                       // "crl.check.enable"
  SettingWord crlPolicyFailCannotFindCrlForIssuer;  // "crl.policy.fail.CannotFindCrlForIssuer"
  SettingWord crlPolicyFailExpiredCrlForIssuer;     // "crl.policy.fail.ExpiredCrlForIssuer"
  SettingWord crlPolicyFailValidCrlRevokesCert;     // "crl.policy.fail.ValidCrlRevokesCert"
  SettingText sslCipher;                            // "ssl.cipher"
  SettingText sslTicketKeys;                // "ssl.ticket_keys", a key file shared by a fleet
  SettingText sslPasswd;                    // "ssl.passwd", the remembered pass phrase
  SettingText bklLocation;                  // "bkl.location"
  SettingWord sslSavePasswd;                // "ssl.save_passwd"
  SettingWord sslEnableSsl2;                // "ssl.enable_ssl2"
  SettingWord sslEnableSsl3;                // "ssl.enable_ssl3"
  SettingWord sslEnableTls1;                // "ssl.enable_tls1"
  SettingWord sslUseSystemRegistry;         // "ssl.use_system_registry"
  SettingWord localNetCount;                // "socks.no_local_nets"
  SettingWord localNetAddr[kMaxLocalNets];  // network byte order
  SettingWord localNetMask[kMaxLocalNets];  // network byte order
  SettingWord socksEnable;                  // "socks.enable"
  SettingText socksServer;                  // "socks.server"
  SettingText socksPort;                    // "socks.port"
  SettingWord sslPorts[kMaxSslPorts];       // "ssl.proxy_ports", network byte order
  SettingWord sslPortCount;
  SettingWord paused;                     // never loaded or saved
  SettingText debugFile;                  // "debug.file"
  SettingWord ddePause;                   // "dde.pause", held in milliseconds
  SettingWord sslSessionCacheMode;        // "ssl.sessionCacheMode"
  SettingWord sslSessionsFlushLimit;      // "ssl.sessionsFlushLimit", signed
  SettingWord ddeEnable;                  // "dde.enable"
  SettingWord ssvrLogout;                 // "ssvr.logout"
  SettingWord debug;                      // "debug"
  SettingWord verbose;                    // "verbose"
  SettingWord logNolog;                   // "log.nolog"
  SettingWord logErr;                     // "log.err"
  SettingWord logWarn;                    // "log.warn"
  SettingWord logInfo;                    // "log.info"
  SettingWord logDetailed;                // "log.detailed"
  SettingWord logDebug;                   // "log.debug"
  SettingWord logMax;                     // "log.max"
  SettingWord tcpLinger;                  // "tcp.linger"
  SettingWord tcpLingerTime;              // "tcp.linger.time", seconds
  SettingWord tcpTimeout;                 // "tcp.timeout"
  SettingWord tcpNodelay;                 // "tcp.nodelay"
  SettingWord tcpSleep;                   // "tcp.sleep", milliseconds
  SettingWord tcpLoopsleep;               // "tcp.loopsleep", milliseconds
  SettingWord tcpCloseSockets;            // "tcp.close.sockets"
  SettingWord tcpResolv;                  // "tcp.resolv"
  SettingWord tcpReuse;                   // "tcp.reuse"
  SettingWord tcpMaxConnections;          // "tcp.max.connections", 0: no limit
  SettingWord logTime;                    // "log.time"
  SettingWord statsEnable;                // "stats.enable"
  SettingWord sslPasswdType;              // "ssl.passwd_type"
  SettingWord showSettings;               // "show.settings"
  SettingWord filterEnable;               // "filter.enable"
  SettingText filterHave;                 // "filter.have"
  SettingText filterHavenot;              // "filter.havenot"
  SettingText hostList[kMaxListEntries];  // "host.list"
  SettingWord hostCount;
  SettingText portList[kMaxListEntries];  // "port.list"
  SettingWord portCount;
  SettingWord threadPoolEnable;  // "thread.pool.enable"
  SettingWord isNT;
  SettingWord isAdmin;
  SettingWord sniffer;  // "sniffer" on the command line
  platform::Hive rootKey = platform::Hive::kCurrentUser;
  SettingWord toolbarSize;     // "toolbar.size"
  SettingText adapterAddress;  // 12 hexadecimal digits or "no nic"
  SettingWord perfMonEnable;   // "perf.mon.enable"
  SettingWord sslVerifyHost;   // "ssl.verify_host"
  SettingText proxyAuthPreference;  // "proxy.auth.preference", the upstream proxy's schemes
};

// "proxy.auth.preference" when the store has none.
constexpr char kDefaultAuthPreference[] = "NTLM,BASIC";

// Fills the record from the settings key of `root`. Returns 0, or the registry error of opening
// the key, in which case the record keeps what it held (the zeros of a new record).
long loadSettings(platform::Hive root, Settings* record);
// Writes the values the program owns, in their order; returns 0 or the first registry error.
long saveSettings(platform::Hive root, const Settings& record);
// Empties every text of the record.
void freeSettings(Settings* record);

// How long a peer may take, in all, to send a request or finish a handshake or an exchange with an
// upstream proxy ("tcp.timeout"): 0 no limit, 1 the standing 120 seconds, a larger value that many
// seconds. 0 ms means no limit.
uint32_t requestTimeoutMs(const Settings& record);

// Hands the log switches of `record` to the log call.
void publishLogSwitches(const Settings& record);

// The classful network of an address, as the local-network table keeps it.
void classfulNetwork(uint32_t address, uint32_t* network, uint32_t* mask);
// Fills the local-network table with the classful networks of up to 16 addresses.
void setLocalNetworks(Settings* record, const uint32_t* addresses, int count);
// Turns the local-network table on (built again from the host's addresses, when "tcp.resolv"
// allows it) or off. A table that cannot be built stays as it was. Returns whether it is on.
bool rebuildLocalNetworks(Settings* record, bool on);
// Parses an "ssl.proxy_ports" text into `sslPorts` (the single port 443 when nothing results),
// and builds the text back from the table.
void setSslPorts(Settings* record, const std::string& text);
std::string sslPortsText(const Settings& record);
// Splits a "host.list" or "port.list" text at ':' into up to 16 entries, empty ones included.
int splitList(const std::string& text, SettingText (&entries)[kMaxListEntries]);

const char* settingsKeyPath();
// "toolbar.size" as the toolbar takes it: 0 reads as 48.
uint32_t toolbarSize(const Settings& record);

}  // namespace config
