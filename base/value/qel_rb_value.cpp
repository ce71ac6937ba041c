// Value module: QELRBValue stores its elements in one vector.
#include <zor-qel-rb-key/qel_rb_value.h>

QELRBValue::QELRBValue(const char* text) : QELRBValue(std::string(text == nullptr ? "" : text)) {}

QELRBValue::QELRBValue(const std::string& text) {
  if (!text.empty()) elements_.push_back(text);
}

QELRBValue::QELRBValue(const std::list<std::string>& elements)
    : elements_(elements.begin(), elements.end()) {}

QELRBValue::QELRBValue(const std::vector<std::string>& elements) : elements_(elements) {}

QELRBValue::QELRBValue(std::initializer_list<std::string> elements) : elements_(elements) {}

QELRBValue::QELRBValue(const std::list<QELRBValue>& elements) {
  elements_.reserve(elements.size());
  for (const QELRBValue& element : elements) elements_.push_back(element.ToString());
}

QELRBValue::operator std::string() const { return ToString(); }

std::string QELRBValue::ToString() const {
  if (elements_.size() == 1) return elements_.front();
  std::string text;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) text += ", ";
    text += elements_[i];
  }
  return text;
}

QELRBValue::operator std::list<QELRBValue>() const {
  std::list<QELRBValue> list;
  // A one-element list of the empty string must stay one element, so build through the list form.
  for (const std::string& element : elements_) list.emplace_back(std::list<std::string>{element});
  return list;
}

bool operator==(const QELRBValue& a, const QELRBValue& b) { return a.Elements() == b.Elements(); }
bool operator!=(const QELRBValue& a, const QELRBValue& b) { return !(a == b); }
bool operator<(const QELRBValue& a, const QELRBValue& b) { return a.Elements() < b.Elements(); }

void GetVersionsList_QELRB_Value(std::map<std::string, std::string>& versions) {
  versions["zor-qel-rb-value"] = "<<<VER_INFO>>>|zor-qel-rb-value|300|1|base/value";
}
