# The certificates of the collector tests, made with openssl in the test's own folder
# $work: sourced by collector_test.sh and tests/system/collector_kinds_test.sh.
#   make_collector_certificates    CAs ca and otherca; servers server (ca), foreign
#                                  (otherca) and elsewhere (ca, other names); client (ca)
#                                  with client.pfx; garbage.pem, which is no certificate
#   tls_inputs <tls> <foreign> <elsewhere>   rsyslog's imtcp over TLS (the gtls stream
#                                  driver) on those three ports, with the servers'
#                                  certificates server, foreign and elsewhere, writing to
#                                  tls.log, foreign.log and elsewhere.log
#   relp_tls_input <port>          imrelp inside TLS with the certificate server, wanting
#                                  a client certificate of ca, writing to relptls.log (the
#                                  caller loads imrelp, once for all its inputs)

make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.pem" -days 2 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
# make_leaf <name> <ca> <subject alternative names> <extended key usage>, with the key
# $work/<name>.key (made here unless it is there).
make_leaf() {
  [[ -f "$work/$1.key" ]] || openssl genrsa -out "$work/$1.key" 2048 2>/dev/null
  openssl req -new -key "$work/$1.key" -out "$work/$1.csr" -subj "/CN=$1" 2>/dev/null &&
    printf 'subjectAltName=%s\nextendedKeyUsage=%s\nbasicConstraints=CA:false\n' "$3" "$4" >"$work/$1.ext" &&
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.pem" -CAkey "$work/$2.key" -CAcreateserial \
      -out "$work/$1.pem" -days 2 -extfile "$work/$1.ext" 2>/dev/null
}
# Wine 8 cannot sign with an RSA client key whose private exponent is shorter than the
# modulus (its top byte zero; about one key in fifteen that OpenSSL makes): the
# credentials fail ("The scanning of a large integer has failed") or the handshake does
# ("Public key signing has failed"). Windows takes any key; the test makes one Wine takes.
make_client_key() {
  local attempt exponent_bytes
  for ((attempt = 0; attempt < 30; attempt++)); do
    openssl genrsa -out "$work/client.key" 2048 2>/dev/null || return 1
    exponent_bytes=$(openssl rsa -in "$work/client.key" -text -noout 2>/dev/null |
      awk '/^privateExponent/ { on = 1; next } /^[a-zA-Z]/ { on = 0 } on { gsub(/[ :]/, ""); n += length($0) } END { print n / 2 }')
    ((exponent_bytes >= 256)) && return 0
  done
  return 1
}
make_collector_certificates() {
  make_ca ca "Collector test CA" && make_ca otherca "Another CA" && make_client_key &&
    make_leaf server ca "DNS:localhost,IP:127.0.0.1" serverAuth &&
    make_leaf foreign otherca "DNS:localhost,IP:127.0.0.1" serverAuth &&
    make_leaf elsewhere ca "DNS:collector.invalid,IP:192.0.2.7" serverAuth &&
    make_leaf client ca "DNS:client.invalid" clientAuth &&
    openssl pkcs12 -export -in "$work/client.pem" -inkey "$work/client.key" -out "$work/client.pfx" -passout pass: &&
    echo "not a certificate" >"$work/garbage.pem"
}

tls_inputs() {
  echo 'module(load="imtcp" streamDriver.name="gtls" streamDriver.mode="1" streamDriver.authMode="anon")'
  local input name port certificate
  for input in tls:"$1":server foreign:"$2":foreign elsewhere:"$3":elsewhere; do
    IFS=: read -r name port certificate <<<"$input"
    raw_input imtcp "$name" "$port" "streamDriver.certFile=\"$work/$certificate.pem\"" \
      "streamDriver.keyFile=\"$work/$certificate.key\""
  done
}
relp_tls_input() {
  raw_input imrelp relptls "$1" 'tls="on"' "tls.caCert=\"$work/ca.pem\"" "tls.myCert=\"$work/server.pem\"" \
    "tls.myPrivKey=\"$work/server.key\"" 'tls.authMode="certvalid"'
}
