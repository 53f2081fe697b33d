#include "host/net/dns_sd_answer.h"

#include <cstdio>

#include "host/base/ascii_case.h"

namespace veyra {

std::vector<DnsServiceEntry> ServicesInAnswer(std::span<const DnsAnswerRecord> records) {
  std::vector<DnsServiceEntry> services;
  for (const DnsAnswerRecord& srv : records) {
    if (srv.type != DnsAnswerRecord::kTypeSrv) {
      continue;
    }
    DnsServiceEntry& entry = services.emplace_back();
    entry.instanceName = srv.name;
    entry.targetHost = srv.srvTarget;
    entry.port = srv.srvPort;
    for (const DnsAnswerRecord& a : records) {
      if (a.type == DnsAnswerRecord::kTypeA &&
          EqualsIgnoringAsciiCase(a.name.value_or(std::string()), srv.srvTarget)) {
        entry.ipv4 = a.ipv4;
        break;
      }
    }
  }
  return services;
}

std::string DottedIpv4(const std::array<std::uint8_t, 4>& bytes) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", unsigned{bytes[0]}, unsigned{bytes[1]},
                unsigned{bytes[2]}, unsigned{bytes[3]});
  return text;
}

}  // namespace veyra
