// Protocol buffers' wire format, as much of it as the range read needs: varints and
// length-delimited fields written, and read with every length checked against what is left.
#include "etcd_wire.h"

#include <utility>

namespace {

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kDelimited = 2, kFixed32 = 5 };

// RangeRequest, RangeResponse, ResponseHeader and KeyValue fields read or written here.
constexpr uint32_t kRequestKey = 1;
constexpr uint32_t kRequestRangeEnd = 2;
constexpr uint32_t kRequestLimit = 3;
constexpr uint32_t kRequestRevision = 4;
constexpr uint32_t kAnswerHeader = 1;
constexpr uint32_t kAnswerKvs = 2;
constexpr uint32_t kAnswerMore = 3;
constexpr uint32_t kAnswerCount = 4;
constexpr uint32_t kHeaderRevision = 3;
constexpr uint32_t kPairKey = 1;
constexpr uint32_t kPairModRevision = 3;
constexpr uint32_t kPairValue = 5;

// The gRPC message prefix: one byte for compression, four for the length, big-endian.
constexpr size_t kFrameBytes = 5;

void PutVarint(uint64_t number, std::string* out) {
  while (number >= 0x80) {
    out->push_back(static_cast<char>((number & 0x7f) | 0x80));
    number >>= 7;
  }
  out->push_back(static_cast<char>(number));
}

void PutBytes(uint32_t field, const std::string& bytes, std::string* out) {
  PutVarint(uint64_t{field} << 3 | kDelimited, out);
  PutVarint(bytes.size(), out);
  out->append(bytes);
}

void PutNumber(uint32_t field, int64_t number, std::string* out) {
  if (number == 0) return;  // the default, which the format leaves out
  PutVarint(uint64_t{field} << 3 | kVarint, out);
  PutVarint(static_cast<uint64_t>(number), out);
}

// Reads one message's fields from [at, end).
class Reader {
 public:
  Reader(const char* at, const char* end) : at_(at), end_(end) {}

  bool AtEnd() const { return at_ == end_; }

  // The next field's number and wire type; false at a malformed tag.
  bool Tag(uint32_t* field, uint32_t* type) {
    uint64_t tag = 0;
    if (!Varint(&tag) || (tag >> 3) == 0 || (tag >> 3) > 0x1fffffff) return false;
    *field = static_cast<uint32_t>(tag >> 3);
    *type = static_cast<uint32_t>(tag & 7);
    return true;
  }

  bool Varint(uint64_t* number) {
    *number = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ == end_) return false;
      const auto byte = static_cast<unsigned char>(*at_++);
      *number |= uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;  // more than ten bytes
  }

  // A length-delimited field's bytes, as a reader of their own.
  bool Delimited(Reader* inner) {
    uint64_t size = 0;
    if (!Varint(&size) || size > static_cast<uint64_t>(end_ - at_)) return false;
    *inner = Reader(at_, at_ + size);
    at_ += size;
    return true;
  }

  bool Bytes(std::string* bytes) {
    Reader inner(nullptr, nullptr);
    if (!Delimited(&inner)) return false;
    bytes->assign(inner.at_, inner.end_);
    return true;
  }

  // Passes over a field this reader does not need; false for a type it cannot pass.
  bool Skip(uint32_t type) {
    uint64_t ignored = 0;
    Reader inner(nullptr, nullptr);
    switch (type) {
      case kVarint:
        return Varint(&ignored);
      case kDelimited:
        return Delimited(&inner);
      case kFixed64:
        return Advance(8);
      case kFixed32:
        return Advance(4);
      default:
        return false;
    }
  }

  // A varint field of a wanted number: its value; false for another wire type.
  bool Number(uint32_t type, int64_t* number) {
    uint64_t raw = 0;
    if (type != kVarint || !Varint(&raw)) return false;
    *number = static_cast<int64_t>(raw);
    return true;
  }

 private:
  bool Advance(size_t size) {
    if (size > static_cast<size_t>(end_ - at_)) return false;
    at_ += size;
    return true;
  }

  const char* at_;
  const char* end_;
};

bool ReadHeader(Reader header, int64_t* revision) {
  while (!header.AtEnd()) {
    uint32_t field = 0;
    uint32_t type = 0;
    if (!header.Tag(&field, &type)) return false;
    if (field == kHeaderRevision) {
      if (!header.Number(type, revision)) return false;
    } else if (!header.Skip(type)) {
      return false;
    }
  }
  return true;
}

bool ReadPair(Reader kv, EtcdKeyValue* pair) {
  while (!kv.AtEnd()) {
    uint32_t field = 0;
    uint32_t type = 0;
    if (!kv.Tag(&field, &type)) return false;
    bool read = false;
    if (field == kPairKey || field == kPairValue) {
      read = type == kDelimited && kv.Bytes(field == kPairKey ? &pair->key : &pair->value);
    } else if (field == kPairModRevision) {
      read = kv.Number(type, &pair->mod_revision);
    } else {
      read = kv.Skip(type);
    }
    if (!read) return false;
  }
  return true;
}

}  // namespace

std::string EtcdRangeRequestMessage(const std::string& key, const std::string& range_end,
                                    int64_t limit, int64_t revision) {
  std::string request;
  PutBytes(kRequestKey, key, &request);
  if (!range_end.empty()) PutBytes(kRequestRangeEnd, range_end, &request);
  PutNumber(kRequestLimit, limit, &request);
  PutNumber(kRequestRevision, revision, &request);
  std::string message(1, '\0');
  const auto size = static_cast<uint32_t>(request.size());
  for (int shift = 24; shift >= 0; shift -= 8) message.push_back(static_cast<char>(size >> shift));
  return message + request;
}

bool DecodeEtcdRangeAnswer(const std::string& body, EtcdRangePage* page) {
  if (body.size() < kFrameBytes || body[0] != '\0') return false;
  uint64_t size = 0;
  for (size_t i = 1; i < kFrameBytes; ++i) size = size << 8 | static_cast<unsigned char>(body[i]);
  if (size != body.size() - kFrameBytes) return false;
  *page = EtcdRangePage();
  Reader answer(body.data() + kFrameBytes, body.data() + body.size());
  bool has_header = false;
  while (!answer.AtEnd()) {
    uint32_t field = 0;
    uint32_t type = 0;
    if (!answer.Tag(&field, &type)) return false;
    Reader inner(nullptr, nullptr);
    int64_t number = 0;
    bool read = false;
    switch (field) {
      case kAnswerHeader:
        read = type == kDelimited && answer.Delimited(&inner) && ReadHeader(inner, &page->revision);
        has_header = true;
        break;
      case kAnswerKvs:
        page->pairs.emplace_back();
        read =
            type == kDelimited && answer.Delimited(&inner) && ReadPair(inner, &page->pairs.back());
        break;
      case kAnswerMore:
        read = answer.Number(type, &number);
        page->more = number != 0;
        break;
      case kAnswerCount:
        read = answer.Number(type, &page->count);
        break;
      default:
        read = answer.Skip(type);
    }
    if (!read) return false;
  }
  return has_header && page->revision > 0;
}
