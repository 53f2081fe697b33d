#pragma once

// The one walk over a DNS-SD browse answer, shared by the host's receiver
// discovery and the tray's phone search: which services an answer names and
// at which addresses.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veyra {

// One DNS record of an answer, as the platform's list gives it, names in
// UTF-8. The platform glue keeps the SRV and A records; others are not read.
struct DnsAnswerRecord {
  static constexpr std::uint16_t kTypeA = 1;
  static constexpr std::uint16_t kTypeAaaa = 28;
  static constexpr std::uint16_t kTypeSrv = 33;

  std::uint16_t type = 0;
  std::optional<std::string> name;     // owner name; absent when the record had none
  std::string srvTarget;               // SRV only
  std::uint16_t srvPort = 0;           // SRV only
  std::array<std::uint8_t, 4> ipv4{};  // A only, network order
};

// One service an answer names: one SRV record, with the address of its target
// when the same answer carries it.
struct DnsServiceEntry {
  std::optional<std::string> instanceName;  // the SRV owner
  std::string targetHost;
  std::uint16_t port = 0;
  std::optional<std::array<std::uint8_t, 4>> ipv4;
};

// One entry per SRV record, in record order. An entry's address comes from
// the first A record of the whole answer whose owner name (empty when absent)
// equals the SRV target, compared without regard to ASCII letter case (DNS
// names are case-insensitive); a later A record for the same name is never
// used.
std::vector<DnsServiceEntry> ServicesInAnswer(std::span<const DnsAnswerRecord> records);

// "a.b.c.d" of an IPv4 address in network order.
std::string DottedIpv4(const std::array<std::uint8_t, 4>& bytes);

}  // namespace veyra
