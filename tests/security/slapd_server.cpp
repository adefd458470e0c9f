#include "security/slapd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

extern char** environ;

namespace ldap_test {

using test_support::shell;
using test_support::writeFile;

namespace {

const char* const kTextSchema =
    "attributetype ( 2.5.4.10 NAME ( 'o' 'organizationName' ) SUP name )\n"
    "attributetype ( 2.5.4.39 NAME 'certificateRevocationList' EQUALITY octetStringMatch\n"
    "  SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )\n"
    "objectclass ( 2.5.6.4 NAME 'organization' SUP top STRUCTURAL MUST o )\n"
    "objectclass ( 2.5.6.19 NAME 'cRLDistributionPoint' SUP top STRUCTURAL MUST cn\n"
    "  MAY certificateRevocationList )\n";

}  // namespace

std::string ldifBinary(const std::string& attribute, const std::string& value) {
  std::string encoded(4 * ((value.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(value.data()),
                                static_cast<int>(value.size()));
  encoded.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return attribute + ":: " + encoded + "\n";
}

Slapd::Slapd(Schema schema) {
  const std::string& d = dir_.path();
  std::filesystem::create_directory(d + "/db");
  std::string conf;
  if (schema == Schema::kStandard) {
    conf = "include /etc/ldap/schema/core.schema\n";
  } else {
    if (!writeFile(d + "/text.schema", kTextSchema)) return;
    conf = "include " + d + "/text.schema\nallow bind_v2\n";
  }
  conf += "pidfile " + d +
          "/slapd.pid\nsockbuf_max_incoming_auth 67108864\n"
          "modulepath /usr/lib/ldap\nmoduleload back_mdb\ndatabase mdb\n"
          "suffix \"" +
          std::string(kSuffix) + "\"\nrootdn \"" + kAdmin + "\"\nrootpw " + kAdminPassword +
          "\ndirectory " + d + "/db\n";
  if (!writeFile(d + "/slapd.conf", conf)) return;
  port_ = freePort();
  const std::string url = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  const std::string confPath = d + "/slapd.conf";
  const std::string logPath = d + "/slapd.log";
  std::vector<const char*> argv = {"slapd",          "-d",   "0", "-h", url.c_str(), "-f",
                                   confPath.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "slapd", &actions, nullptr,
                              const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;
  pid_ = pid;
  if (!waitForPort(port_)) stop();
}

Slapd::~Slapd() { stop(); }

void Slapd::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool Slapd::runTool(const char* tool, const std::string& ldif) {
  const std::string file = dir_.path() + "/input" + std::to_string(++serial_) + ".ldif";
  if (!writeFile(file, ldif)) return false;
  return shell(std::string("timeout 30 ") + tool + " -x -o nettimeout=10 -H ldap://127.0.0.1:" +
               std::to_string(port_) + " -D " + kAdmin + " -w " + kAdminPassword + " -f " + file +
               " >>" + dir_.path() + "/tools.log 2>&1");
}

bool Slapd::add(const std::string& ldif) { return runTool("ldapadd", ldif); }
bool Slapd::modify(const std::string& ldif) { return runTool("ldapmodify", ldif); }

bool Slapd::addBase() {
  return add(std::string("dn: ") + kSuffix + "\nobjectClass: organization\no: test\n");
}

bool Slapd::addCrlEntry(const std::string& cn, const std::string& attributeLine) {
  return add("dn: cn=" + cn + "," + kSuffix + "\nobjectClass: cRLDistributionPoint\ncn: " + cn +
             "\n" + attributeLine);
}

const Pki& Pki::get() {
  static Pki pki;
  return pki;
}

Pki::Pki() {
  const std::string& d = dir_.path();
  const char* const config =
      "[ca]\ndefault_ca = own\n[own]\ndatabase = index.txt\ncrlnumber = crlnumber\n"
      "default_md = sha256\ndefault_crl_days = 30\n";
  for (const char* ca : {"ca1", "ca2"}) {
    const std::string folder = d + "/" + ca;
    std::filesystem::create_directory(folder);
    if (!writeFile(folder + "/ca.cnf", config) || !writeFile(folder + "/index.txt", "") ||
        !writeFile(folder + "/crlnumber", "01\n")) {
      return;
    }
  }
  const std::string steps[] = {
      "cd ca1 && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ../ca1.pem "
      "-days 30 -subj /CN=Fetch_CA_One",
      "cd ca2 && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ../ca2.pem "
      "-days 30 -subj /CN=Fetch_CA_Two",
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost",
      "openssl x509 -req -in server.csr -CA ca1.pem -CAkey ca1/ca.key -set_serial 4660 -days 30 "
      "-out server.pem",
      "cd ca1 && openssl ca -config ca.cnf -gencrl -cert ../ca1.pem -keyfile ca.key -out a.pem",
      "cd ca1 && openssl ca -config ca.cnf -revoke ../server.pem -cert ../ca1.pem -keyfile ca.key",
      "cd ca1 && openssl ca -config ca.cnf -gencrl -cert ../ca1.pem -keyfile ca.key -out b.pem",
      "cd ca2 && openssl ca -config ca.cnf -gencrl -cert ../ca2.pem -keyfile ca.key -out a.pem",
      "openssl crl -in ca1/a.pem -outform DER -out ca1-first.der",
      "openssl crl -in ca1/b.pem -outform DER -out ca1-revoking.der",
      "openssl crl -in ca2/a.pem -outform DER -out ca2.der",
  };
  for (const std::string& step : steps) {
    if (!shell("cd '" + d + "' && " + step + " >>pki.log 2>&1")) return;
  }
  ok_ = true;
}

}  // namespace ldap_test
