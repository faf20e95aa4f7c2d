#!/bin/sh
# Regenerates the test certificate authority and the loopback server certificate
# it signs. Run from any folder; the files are written next to this script.
# Validity is 36500 days so that the test data never expires. The keys are test
# data, not secrets, and stay readable for whoever runs the tests.
set -eu
cd "$(dirname "$0")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/ca.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
O = Tarn test data
CN = Tarn Test CA
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

cat > "$work/server.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
O = Tarn test data
CN = localhost
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
CNF

openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key
openssl req -new -x509 -sha256 -days 36500 -key ca.key -config "$work/ca.cnf" -out ca.pem

openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server.key
openssl req -new -sha256 -key server.key -config "$work/server.cnf" -out "$work/server.csr"
openssl x509 -req -sha256 -days 36500 -in "$work/server.csr" -CA ca.pem -CAkey ca.key \
    -set_serial 0x$(openssl rand -hex 16) \
    -extfile "$work/server.cnf" -extensions server_ext -out server.pem

chmod 644 ca.key server.key
openssl verify -CAfile ca.pem server.pem
