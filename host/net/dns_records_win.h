#pragma once

#include <windows.h>

#include <windns.h>

#include <vector>

#include "host/net/receiver_browse.h"

namespace veyra {

// The records of a DNS_RECORD list (as DnsServiceBrowse delivers it) in
// order, names converted from UTF-16 to UTF-8; absent names give empty text.
std::vector<DnsAnswerRecord> AnswerFromDnsRecords(const DNS_RECORDW* list);

}  // namespace veyra
