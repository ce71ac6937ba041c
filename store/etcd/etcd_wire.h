// etcd's range read in gRPC's wire format: the request framed as one gRPC message, and the
// answer's message decoded straight into key-value pairs, for a read over HTTP/2 without the
// JSON gateway's base64 and text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "etcd_client.h"

// One page of a range read, however it was sent.
struct EtcdRangePage {
  std::vector<EtcdKeyValue> pairs;
  int64_t revision = 0;  // the store's revision the page was read at
  int64_t count = 0;     // the keys the whole range holds
  bool more = false;     // keys follow the last of `pairs`
};

// etcdserverpb.KV/Range asking for [key, range_end) at `revision` (0: the newest), at most
// `limit` keys (0: all), as a gRPC message: a byte saying uncompressed, the length, the request.
std::string EtcdRangeRequestMessage(const std::string& key, const std::string& range_end,
                                    int64_t limit, int64_t revision);

// Decodes the body of a range answer (one uncompressed gRPC message holding a RangeResponse)
// into `page`; false when the body is not exactly that: truncated, compressed, or with a field
// of the wrong wire type.
bool DecodeEtcdRangeAnswer(const std::string& body, EtcdRangePage* page);
