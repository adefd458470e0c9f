#include "cert_test_support.h"

namespace cert_test {

bool makeCertificateFiles(const std::string& dir) {
  makePki(dir);
  const std::string viewerSubject =
      "/C=DE/ST=Hessen/L=Frankfurt am Main/O=Tandry Test/OU=Relay Lab/CN=viewer.example.org"
      "/emailAddress=admin@example.org";
  return shell(
      "cd '" + dir + "' && mkdir -p certs" +
      " && openssl pkey -in server.key -aes256 -passout 'pass:" + kKeyPassword +
      "' -out server-locked.key" + " && cat client.pem client.key > certs/client-plain.pem" +
      " && openssl pkey -in client.key -aes256 -passout 'pass:" + kPemPassword +
      "' -out client-locked.key && cat client.pem client-locked.key > "
      "certs/client-locked.pem" +
      " && openssl pkcs12 -export -in client.pem -inkey client.key -passout 'pass:" + kP12Password +
      "' -out certs/client.p12" +
      " && openssl req -x509 -newkey rsa:3072 -nodes -days 365 -sha384 -subj '" + viewerSubject +
      "' -keyout viewer.key -out viewer.pem" + " -addext 'basicConstraints=critical,CA:FALSE'" +
      " -addext 'keyUsage=critical,digitalSignature,keyEncipherment'" +
      " -addext 'extendedKeyUsage=serverAuth,clientAuth'" +
      " -addext 'subjectAltName=DNS:viewer.example.org,IP:127.0.0.1'" +
      " && openssl x509 -in viewer.pem -outform DER -out viewer.der" +
      " && openssl pkcs12 -export -in viewer.pem -inkey viewer.key -passout 'pass:" + kP12Password +
      "' -out viewer.p12");
}

}  // namespace cert_test
