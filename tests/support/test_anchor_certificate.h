#pragma once

// A self-signed certificate that serves as a TLS collector's CA where no handshake gets
// as far as checking one: the tests that use it are about connects that never finish.
inline constexpr char kTestAnchorPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBgjCCASmgAwIBAgIUJsEMFdbf0+d+JGWclKmd20v1mDQwCgYIKoZIzj0EAwIw\n"
    "FjEUMBIGA1UEAwwLVGVzdCBhbmNob3IwIBcNMjYxMjEwMTEyMDE5WhgPMjEyNjEx\n"
    "MTYxMTIwMTlaMBYxFDASBgNVBAMMC1Rlc3QgYW5jaG9yMFkwEwYHKoZIzj0CAQYI\n"
    "KoZIzj0DAQcDQgAESH9p4ImN83jeI8QGkFey+U8gtvS+d8XFUePmBrEsUT5wzTST\n"
    "1Bg0Euat/B3Bllc9PJpqR/us4gQHvlKbYwd8gaNTMFEwHQYDVR0OBBYEFKoQ4nlk\n"
    "CuQvwpVBouLix5vLy5juMB8GA1UdIwQYMBaAFKoQ4nlkCuQvwpVBouLix5vLy5ju\n"
    "MA8GA1UdEwEB/wQFMAMBAf8wCgYIKoZIzj0EAwIDRwAwRAIgQ+NropplK0HywPUG\n"
    "4McxwJYeJ3Hal/IGGVWDMZYQKUgCIB9eimaj6jcsmWTYF7dnr8JeTnZkqix23Lwp\n"
    "yrn8vFHu\n"
    "-----END CERTIFICATE-----\n";
