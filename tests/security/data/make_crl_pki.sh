#!/bin/sh
# Test material for certificate checking, made in the folder $1 with the openssl tool:
#   ca        "Test CA", run as an "openssl ca" authority (ca.cnf, db/)
#   other-ca  "Other CA", trusted by nobody
#   server    127.0.0.1 / localhost, not revoked          client    "Test Client"
#   revoked   127.0.0.1 / localhost, revoked by Test CA   elsewhere  only DNS:elsewhere.example
#   stranger  127.0.0.1 / localhost, issued by Other CA
#   current.crl.pem / .der   Test CA's CRL, next update in 30 days, lists "revoked"
#   newer.crl.pem            a second current CRL of Test CA (higher CRL number)
#   expired.crl.pem          Test CA's CRL whose next update passed in 2020, lists "revoked"
#   other.crl.pem            Other CA's CRL
set -eu
cd "$1"
mkdir -p db newcerts
: > db/index.txt
echo 1000 > db/crlnumber
cat > ca.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = $dir/db/index.txt
new_certs_dir = $dir/newcerts
certificate = $dir/ca.pem
private_key = $dir/ca.key
crlnumber = $dir/db/crlnumber
default_md = sha256
default_crl_days = 30
unique_subject = no
policy = any
[any]
commonName = supplied
CNF
subj="/O=Brisklane test"
key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
authority() {
  openssl req -x509 $key -days 30 -subj "$subj/CN=$2" -keyout "$1.key" -out "$1.pem" 2>/dev/null
}
cert() {
  openssl req $key -subj "$subj/CN=$3" -keyout "$2.key" -out "$2.csr" 2>/dev/null
  printf 'subjectAltName=%s\n' "$4" > "$2.ext"
  openssl x509 -req -in "$2.csr" -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -days 30 \
    -extfile "$2.ext" -out "$2.pem" 2>/dev/null
}
authority ca "Test CA"
authority other-ca "Other CA"
local="IP:127.0.0.1,DNS:localhost"
cert ca server 127.0.0.1 "$local"
cert ca client "Test Client" "$local"
cert ca revoked "Revoked Server" "$local"
cert ca elsewhere "Elsewhere" "DNS:elsewhere.example"
cert other-ca stranger "Stranger" "$local"
ca="openssl ca -config ca.cnf -batch"
$ca -revoke revoked.pem 2>/dev/null
$ca -gencrl -crldays 30 -out current.crl.pem 2>/dev/null
$ca -gencrl -crldays 30 -out newer.crl.pem 2>/dev/null
$ca -gencrl -crl_lastupdate 20200101000000Z -crl_nextupdate 20200201000000Z \
  -out expired.crl.pem 2>/dev/null
$ca -gencrl -crldays 30 -cert other-ca.pem -keyfile other-ca.key -out other.crl.pem 2>/dev/null
openssl crl -in current.crl.pem -outform DER -out current.crl.der
