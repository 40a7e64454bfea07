#pragma once

#include <charconv>
#include <string>
#include <string_view>

// Syslog over TLS (RFC 5425) frames each message by its length: "MSG-LEN SP SYSLOG-MSG",
// the length in decimal bytes, so a message needs no terminator and may hold any byte
// (the collector must not look for line feeds). The message goes without the line feed
// the plain TCP output ends its lines with.
inline void AppendOctetCountedFrame(std::string& wire, std::string_view message) {
  char length[24];
  wire.append(length, std::to_chars(length, length + sizeof(length), message.size()).ptr);
  wire += ' ';
  wire += message;
}
