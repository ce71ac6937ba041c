// The range answer's decoder against an encoder written here from the wire format: any keys and
// values, fields in any order with fields of every wire type it does not know between them,
// decode to what was encoded; and bytes changed anywhere in an answer decode or are refused,
// never read past the end.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <string>
#include <vector>

#include "etcd_wire.h"

namespace {

std::string Varint(uint64_t number) {
  std::string out;
  do {
    out.push_back(static_cast<char>((number & 0x7f) | (number >= 0x80 ? 0x80 : 0)));
    number >>= 7;
  } while (number != 0);
  return out;
}

std::string Field(uint32_t number, uint32_t type) { return Varint(uint64_t{number} << 3 | type); }
std::string Bytes(uint32_t number, const std::string& bytes) {
  return Field(number, 2) + Varint(bytes.size()) + bytes;
}
std::string Number(uint32_t number, int64_t value) {
  return Field(number, 0) + Varint(static_cast<uint64_t>(value));
}

// A field none of the messages read, of any wire type.
std::string Unknown() {
  const auto number = *rc::gen::inRange<uint32_t>(20, 5000);
  switch (*rc::gen::inRange(0, 4)) {
    case 0:
      return Number(number, *rc::gen::arbitrary<int64_t>());
    case 1:
      return Field(number, 1) + *rc::gen::container<std::string>(8, rc::gen::arbitrary<char>());
    case 2:
      return Field(number, 5) + *rc::gen::container<std::string>(4, rc::gen::arbitrary<char>());
    default:
      return Bytes(number, *rc::gen::arbitrary<std::string>());
  }
}

// Some unknown fields, or none.
std::string Noise() {
  std::string noise;
  for (int i = *rc::gen::inRange(0, 3); i > 0 && *rc::gen::inRange(0, 3) == 0; --i) {
    noise += Unknown();
  }
  return noise;
}

std::string Framed(const std::string& message) {
  std::string framed(1, '\0');
  const auto size = static_cast<uint32_t>(message.size());
  for (int shift = 24; shift >= 0; shift -= 8) framed.push_back(static_cast<char>(size >> shift));
  return framed + message;
}

// An answer for `page`, its parts in a generated order (the pairs keep theirs).
std::string Encode(const EtcdRangePage& page) {
  std::vector<std::string> parts;
  parts.push_back(Bytes(1, Noise() + Number(1, 7) + Number(3, page.revision) + Noise()));
  if (page.more) parts.push_back(Number(3, 1));
  if (page.count != 0) parts.push_back(Number(4, page.count));
  std::string kvs;
  for (const EtcdKeyValue& pair : page.pairs) {
    const std::string key = pair.key.empty() ? "" : Bytes(1, pair.key);
    const std::string value = pair.value.empty() ? "" : Bytes(5, pair.value);
    const std::string mod = Number(3, pair.mod_revision);
    const std::string kv = *rc::gen::arbitrary<bool>()
                               ? key + Noise() + Number(2, 1) + mod + Number(4, 2) + value
                               : value + mod + Noise() + key + Number(6, 99);
    kvs += Bytes(2, kv) + Noise();
  }
  std::string message;
  const auto at = *rc::gen::inRange<size_t>(0, parts.size() + 1);
  for (size_t i = 0; i <= parts.size(); ++i) {
    if (i == at) message += kvs;
    if (i < parts.size()) message += parts[i] + Noise();
  }
  return Framed(message);
}

RC_GTEST_PROP(EtcdWireProperty, AnswersDecodeToWhatWasEncoded, ()) {
  EtcdRangePage page;
  page.revision = *rc::gen::inRange<int64_t>(1, INT64_MAX);
  page.count = *rc::gen::inRange<int64_t>(0, 1000000);
  page.more = *rc::gen::arbitrary<bool>();
  const auto keys = *rc::gen::container<std::vector<std::string>>(
      *rc::gen::inRange<size_t>(0, 20), rc::gen::arbitrary<std::string>());
  for (const std::string& key : keys) {
    EtcdKeyValue pair;
    pair.key = key;
    pair.value = *rc::gen::arbitrary<std::string>();
    pair.mod_revision = *rc::gen::inRange<int64_t>(1, INT64_MAX);
    page.pairs.push_back(pair);
  }
  EtcdRangePage decoded;
  RC_ASSERT(DecodeEtcdRangeAnswer(Encode(page), &decoded));
  RC_ASSERT(decoded.revision == page.revision);
  RC_ASSERT(decoded.count == page.count);
  RC_ASSERT(decoded.more == page.more);
  RC_ASSERT(decoded.pairs.size() == page.pairs.size());
  for (size_t i = 0; i < page.pairs.size(); ++i) {
    RC_ASSERT(decoded.pairs[i].key == page.pairs[i].key);
    RC_ASSERT(decoded.pairs[i].value == page.pairs[i].value);
    RC_ASSERT(decoded.pairs[i].mod_revision == page.pairs[i].mod_revision);
  }
}

RC_GTEST_PROP(EtcdWireProperty, ChangedBytesAreDecodedOrRefusedWithinTheAnswer, ()) {
  EtcdRangePage page;
  page.revision = 5;
  page.pairs.resize(*rc::gen::inRange<size_t>(0, 4));
  for (EtcdKeyValue& pair : page.pairs) {
    pair.key = *rc::gen::arbitrary<std::string>();
    pair.value = *rc::gen::arbitrary<std::string>();
    pair.mod_revision = 3;
  }
  std::string answer = Encode(page);
  // The message is changed (cut, bytes replaced) and framed again, so the frame is right and
  // the fields inside are not.
  std::string message = answer.substr(5);
  message.resize(*rc::gen::inRange<size_t>(0, message.size() + 1));
  for (int i = *rc::gen::inRange(0, 4); i > 0 && !message.empty(); --i) {
    message[*rc::gen::inRange<size_t>(0, message.size())] = *rc::gen::arbitrary<char>();
  }
  EtcdRangePage decoded;
  if (DecodeEtcdRangeAnswer(Framed(message), &decoded)) {
    RC_ASSERT(decoded.revision > 0);
    for (const EtcdKeyValue& pair : decoded.pairs) {
      RC_ASSERT(pair.key.size() + pair.value.size() <= message.size());
    }
  }
  // A frame that does not match the message is refused whatever the message.
  RC_ASSERT(!DecodeEtcdRangeAnswer(answer.substr(0, answer.size() - 1), &decoded));
  answer[0] = '\x01';  // compressed
  RC_ASSERT(!DecodeEtcdRangeAnswer(answer, &decoded));
}

}  // namespace
