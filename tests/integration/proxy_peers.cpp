#include "proxy_peers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace itest {

std::string askForTunnel(uint16_t port) {
  const int fd = connectLocal(port);
  if (fd < 0) return "<no connection>";
  sendAll(fd, "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string page = receive(fd, 200, 20s);
  close(fd);
  return page;
}

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

Process startSquid(const std::string& dir, uint16_t port, SquidAuth auth,
                   const std::map<std::string, std::string>& env) {
  // squid drops to the user "proxy", which must reach its files.
  ::chmod(dir.c_str(), 0777);
  std::string conf = "http_port 127.0.0.1:" + std::to_string(port) + "\n" + "pid_filename " + dir +
                     "/squid.pid\n" + "cache_log " + dir + "/cache.log\n" + "access_log " + dir +
                     "/access.log\n" + "coredump_dir " + dir +
                     "\n"
                     "cache deny all\n"
                     "cache_mem 8 MB\n"
                     "pinger_enable off\n"
                     "shutdown_lifetime 0 seconds\n"
                     "visible_hostname proxy-test\n"
                     "dns_v4_first on\n"
                     "acl local src 127.0.0.0/8\n";
  if (auth == SquidAuth::kNegotiate) {
    conf += "auth_param negotiate program /usr/lib/squid/negotiate_kerberos_auth ";
    conf += "-s GSS_C_NO_NAME -k " + dir + "/http.keytab\n";
    conf += "auth_param negotiate children 2\n";
    conf += "auth_param negotiate keep_alive on\n";
  }
  if (auth == SquidAuth::kBasic || auth == SquidAuth::kNegotiate) {
    const std::string passwords = dir + "/htpasswd";
    run({"sh", "-c", "printf 'alice:%s\\n' \"$(openssl passwd -apr1 secret)\" > " + passwords});
    ::chmod(passwords.c_str(), 0644);
    conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + passwords + "\n" +
            "auth_param basic realm proxy-test\n";
  } else if (auth == SquidAuth::kNtlm) {
    conf +=
        "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n"
        "auth_param ntlm children 2\n";
  }
  if (auth != SquidAuth::kNone) {
    conf += "acl users proxy_auth REQUIRED\nhttp_access allow local users\n";
  } else {
    conf += "http_access allow local\n";
  }
  conf += "http_access deny all\n";
  const std::string file = dir + "/squid.conf";
  writeFile(file, conf);
  Process p({"squid", "-N", "-f", file}, dir + "/squid.out", env);
  waitForPort(port, 20s);
  return p;
}

Kdc::Kdc(const std::string& dir, const std::string& keytab) : dir_(dir), port_(freePort()) {
  const std::string at = "127.0.0.1:" + std::to_string(port_);
  std::string krb5 = "[libdefaults]\n";
  krb5 += "  default_realm = BKL.TEST\n";
  krb5 += "  dns_lookup_kdc = false\n";
  krb5 += "  dns_lookup_realm = false\n";
  krb5 += "  dns_canonicalize_hostname = false\n";
  krb5 += "  rdns = false\n";
  krb5 += "  udp_preference_limit = 1\n";
  // A client whose clock is off is refused, not set right by the KDC's answer.
  krb5 += "  kdc_timesync = 0\n";
  krb5 += "[realms]\n";
  krb5 += "  BKL.TEST = {\n    kdc = " + at + "\n  }\n";
  krb5 += "[domain_realm]\n";
  krb5 += "  localhost = BKL.TEST\n";
  writeFile(dir + "/krb5.conf", krb5);
  std::string kdc = "[kdcdefaults]\n";
  kdc += "  kdc_listen = " + at + "\n";
  kdc += "  kdc_tcp_listen = " + at + "\n";
  kdc += "[realms]\n";
  kdc += "  BKL.TEST = {\n";
  kdc += "    database_name = " + dir + "/principal\n";
  kdc += "    key_stash_file = " + dir + "/stash\n";
  kdc += "    acl_file = " + dir + "/kadm5.acl\n";
  kdc += "  }\n";
  kdc += "[logging]\n";
  kdc += "  kdc = FILE:" + dir + "/kdc.log\n";
  writeFile(dir + "/kdc.conf", kdc);
  const std::string env =
      "KRB5_CONFIG=" + dir + "/krb5.conf KRB5_KDC_PROFILE=" + dir + "/kdc.conf ";
  const std::string admin = env + "kadmin.local -r BKL.TEST -q ";
  ready_ = shell(env + "kdb5_util create -s -r BKL.TEST -P master-of-test > " + dir +
                 "/kdb5_util.out 2>&1") &&
           shell(admin + "'addprinc +requires_preauth -pw secret alice' > /dev/null 2>&1") &&
           shell(admin + "'addprinc -randkey HTTP/localhost' > /dev/null 2>&1") &&
           shell(admin + "'ktadd -k " + keytab + " HTTP/localhost' > /dev/null 2>&1");
  // squid's helper runs as the user "proxy".
  ::chmod(keytab.c_str(), 0644);
  if (!ready_) return;
  const std::map<std::string, std::string> kdcEnv = {{"KRB5_CONFIG", dir + "/krb5.conf"},
                                                     {"KRB5_KDC_PROFILE", dir + "/kdc.conf"}};
  process_ = Process({"krb5kdc", "-n"}, dir + "/krb5kdc.out", kdcEnv);
  ready_ = waitForPort(port_, 20s);
}

bool Kdc::kinit(const std::string& cache) const {
  return shell("echo secret | KRB5_CONFIG=" + dir_ + "/krb5.conf KRB5CCNAME=FILE:" + cache +
               " kinit alice > /dev/null 2>&1");
}

Process startDante(const std::string& dir, uint16_t port) {
  const std::string conf = "logoutput: " + dir + "/danted.log\n" +
                           "internal: 127.0.0.1 port = " + std::to_string(port) + "\n" +
                           "external: lo\n"
                           "socksmethod: none\n"
                           "clientmethod: none\n"
                           "user.privileged: root\n"
                           "user.unprivileged: nobody\n"
                           "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                           "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect }\n";
  const std::string file = dir + "/danted.conf";
  writeFile(file, conf);
  Process p({"danted", "-f", file, "-p", dir + "/danted.pid"}, dir + "/danted.out");
  waitForPort(port, 20s);
  return p;
}

Process startHttpServer(const std::string& dir, const std::string& address, uint16_t port) {
  Process p(
      {"python3", "-m", "http.server", "--bind", address, "--directory", dir, std::to_string(port)},
      dir + "/http-" + std::to_string(port) + ".log");
  return p;
}

Process startHttpResponder(const std::string& dir, uint16_t port, const std::string& body) {
  const std::string script = dir + "/respond-" + std::to_string(port) + ".sh";
  writeFile(script,
            "cr=$(printf '\\r')\n"
            "while IFS= read -r line; do case \"$line\" in \"$cr\"|\"\") break;; esac; done\n"
            "printf 'HTTP/1.0 200 OK\\r\\nContent-Length: " +
                std::to_string(body.size()) + "\\r\\n\\r\\n%s' '" + body + "'\n");
  Process p({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
             "EXEC:sh " + script},
            dir + "/responder.log");
  waitForPort(port);
  return p;
}

Process startKeepAliveResponder(const std::string& dir, uint16_t port, const std::string& body) {
  const std::string script = dir + "/keepalive-" + std::to_string(port) + ".py";
  writeFile(script,
            "import http.server, sys\n"
            "class Handler(http.server.BaseHTTPRequestHandler):\n"
            "    protocol_version = 'HTTP/1.1'\n"
            "    def do_GET(self):\n"
            "        body = sys.argv[2].encode()\n"
            "        self.send_response(200)\n"
            "        self.send_header('Content-Length', str(len(body)))\n"
            "        self.end_headers()\n"
            "        self.wfile.write(body)\n"
            "http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), Handler).serve_forever()\n");
  Process p({"python3", script, std::to_string(port), body},
            dir + "/keepalive-" + std::to_string(port) + ".log");
  waitForPort(port);
  return p;
}

}  // namespace itest
