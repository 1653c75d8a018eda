#include "firebird/fb_message.h"

#include <ibase.h>

#include <cmath>
#include <cstring>
#include <optional>

#include "base/errors.h"
#include "base/text.h"

namespace quirada {
namespace {

using Firebird::IMessageMetadata;

constexpr unsigned kMaxVarcharBytes = 32765;
constexpr std::size_t kBlobSegment = 32768;

template <typename T>
T Load(const unsigned char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
void Store(unsigned char* p, const T& value) {
  std::memcpy(p, &value, sizeof value);
}

bool IsText(unsigned type) { return type == SQL_TEXT || type == SQL_VARYING; }

double Scaled(long long value, int scale) { return static_cast<double>(value) * std::pow(10.0, scale); }

FbValue Number(long long value, int scale) {
  return scale == 0 ? FbValue::Integer(value) : FbValue::Float(Scaled(value, scale));
}

// The most bytes one character of the character set `char_set` takes.
unsigned BytesPerCharacter(unsigned char_set) {
  if (char_set == kFbCsUtf8) return 4;
  if (char_set == kFbCsUnicodeFss) return 3;
  return 1;
}

// The first `max_chars` characters of the UTF-8 text `s`, and no more than `max_bytes` bytes of it,
// never cut inside a character.
void CutUtf8(std::string& s, std::size_t max_chars, std::size_t max_bytes) {
  std::size_t i = 0, chars = 0, end = 0;
  while (i < s.size() && chars < max_chars) {
    uint32_t cp;
    std::size_t next = i;
    if (!DecodeUtf8At(s, next, cp)) next = i + 1;
    if (next > max_bytes) break;
    i = end = next;
    ++chars;
  }
  if (end < s.size()) s.resize(end);
}

void TrimTrailingBlanks(std::string& s) {
  const std::size_t end = s.find_last_not_of(' ');
  s.resize(end == std::string::npos ? 0 : end + 1);
}

}  // namespace

FbTextForm TextFormOf(unsigned char_set) {
  switch (char_set) {
    case kFbCsUtf8:
    case kFbCsUnicodeFss:
      return FbTextForm::kUtf8;
    case kFbCsIso8859_1:
      return FbTextForm::kLatin1;
    case kFbCsWin1252:
      return FbTextForm::kWindows1252;
    default:
      return FbTextForm::kRaw;  // NONE, OCTETS, or a character set the program does not read
  }
}

std::string TextToUtf8(std::string bytes, FbTextForm form) {
  switch (form) {
    case FbTextForm::kUtf8:
      return bytes;
    case FbTextForm::kLatin1:
      return Latin1ToUtf8(bytes);
    case FbTextForm::kWindows1252:
      return Windows1252ToUtf8(bytes);
    case FbTextForm::kRaw:
      break;
  }
  return IsUtf8OfWindows1252Text(bytes) ? bytes : Windows1252ToUtf8(bytes);
}

FbValue TextValue(std::string bytes, bool fixed_length, FbTextForm form) {
  if (fixed_length) TrimTrailingBlanks(bytes);
  if (bytes.empty()) return FbValue::Null();
  return FbValue::Text(TextToUtf8(std::move(bytes), form));
}

std::optional<std::string> ColumnTextBytes(const FbColumn& c, const unsigned char* row) {
  if (!IsText(c.type) || Load<short>(row + c.null_offset) != 0) return std::nullopt;
  const unsigned char* p = row + c.offset;
  if (c.type == SQL_VARYING)
    return std::string(reinterpret_cast<const char*>(p + 2), static_cast<unsigned short>(Load<short>(p)));
  std::string bytes(reinterpret_cast<const char*>(p), c.length);
  TrimTrailingBlanks(bytes);
  return bytes;
}

std::vector<FbColumn> DescribeColumns(IMessageMetadata* metadata) {
  FbStatus st;
  std::vector<FbColumn> columns;
  const unsigned count = metadata->getCount(&st);
  for (unsigned i = 0; i < count; ++i) {
    FbColumn c;
    c.name = metadata->getAlias(&st, i);
    c.field = metadata->getField(&st, i);
    c.relation = metadata->getRelation(&st, i);
    if (c.name.empty()) c.name = c.field;
    c.type = metadata->getType(&st, i) & ~1u;
    c.sub_type = metadata->getSubType(&st, i);
    c.length = metadata->getLength(&st, i);
    c.scale = metadata->getScale(&st, i);
    c.char_set = metadata->getCharSet(&st, i);
    c.offset = metadata->getOffset(&st, i);
    c.null_offset = metadata->getNullOffset(&st, i);
    columns.push_back(std::move(c));
  }
  return columns;
}

FbValue DecodeColumn(const FbColumn& c, const unsigned char* row, bool* blob, ISC_QUAD* blob_id) {
  *blob = false;
  if (Load<short>(row + c.null_offset) != 0) return FbValue::Null();
  const unsigned char* p = row + c.offset;
  switch (c.type) {
    case SQL_TEXT:
    case SQL_VARYING:
      return TextValue(*ColumnTextBytes(c, row), false, TextFormOf(c.char_set));
    case SQL_SHORT:
      return Number(Load<short>(p), c.scale);
    case SQL_LONG:
      return Number(Load<int>(p), c.scale);
    case SQL_INT64:
      return Number(Load<long long>(p), c.scale);
    case SQL_FLOAT:
      return FbValue::Float(Load<float>(p));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return FbValue::Float(Load<double>(p));
    case SQL_TYPE_DATE:
      return FbValue::DateTime(FromIscDate(Load<ISC_DATE>(p)), FbValue::Kind::kDate);
    case SQL_TYPE_TIME:
      return FbValue::DateTime(FromIscTime(Load<ISC_TIME>(p)), FbValue::Kind::kTime);
    case SQL_TIMESTAMP:
      return FbValue::DateTime(FromIscTimestamp(Load<ISC_TIMESTAMP>(p)), FbValue::Kind::kTimestamp);
    case SQL_BOOLEAN:
      return FbValue::Boolean(*p != 0);
    case SQL_BLOB:
      *blob = true;
      *blob_id = Load<ISC_QUAD>(p);
      return FbValue::Null();
    case SQL_NULL:
      return FbValue::Null();
    default:
      throw Exception("O tipo da coluna " + c.name + " (" + std::to_string(c.type) + ") não é suportado");
  }
}

std::string ReadBlobBytes(Firebird::IAttachment* attachment, Firebird::ITransaction* transaction, ISC_QUAD id) {
  return FbCall([&] {
    FbStatus st;
    FbPtr<Firebird::IBlob> blob(attachment->openBlob(&st, transaction, &id, 0, nullptr));
    std::string bytes;
    std::vector<char> segment(kBlobSegment);
    for (;;) {
      unsigned got = 0;
      const int rc = blob->getSegment(&st, static_cast<unsigned>(segment.size()), segment.data(), &got);
      if (rc == Firebird::IStatus::RESULT_NO_DATA) break;
      bytes.append(segment.data(), got);
    }
    blob->close(&st);
    (void)blob.release();  // close released it
    return bytes;
  });
}

namespace {

// What goes into one slot of an input message: NULL, text in the connection's character set (cut
// to its parameter), an integer, a flag, a number, a timestamp or the text of a new BLOB.
struct Slot {
  enum class Kind { kNull, kText, kInteger, kTimestamp, kFloat, kBlob, kBoolean } kind = Kind::kNull;
  std::string bytes;
  long long integer = 0;
  double number = 0;
};

// The slot of parameter `i` (described as `type` of `length` bytes) for `v`.
Slot SlotFor(const FbValue& v, IMessageMetadata* described, FbStatus& st, unsigned i, FbCharset charset) {
  const unsigned type = described->getType(&st, i) & ~1u;
  const unsigned length = described->getLength(&st, i);
  Slot s;
  switch (v.kind) {
    case FbValue::Kind::kNull:
      break;
    case FbValue::Kind::kText: {
      std::string text = charset == FbCharset::kUtf8    ? ValidUtf8(v.text)
                         : charset == FbCharset::kLatin1 ? Utf8ToLatin1(v.text)
                                                         : v.text;
      if (type == SQL_TEXT) TrimTrailingBlanks(text);
      const std::size_t max_bytes = type == SQL_BLOB ? text.size()
                                    : IsText(type)   ? std::min<std::size_t>(length, kMaxVarcharBytes)
                                                     : kMaxVarcharBytes;
      const std::size_t max_chars =
          IsText(type) ? length / BytesPerCharacter(described->getCharSet(&st, i)) : max_bytes;
      if (charset == FbCharset::kUtf8)
        CutUtf8(text, max_chars, max_bytes);
      else if (text.size() > std::min(max_chars, max_bytes))
        text.resize(std::min(max_chars, max_bytes));
      if (text.empty()) break;  // empty text is NULL
      s.kind = type == SQL_BLOB ? Slot::Kind::kBlob : Slot::Kind::kText;
      s.bytes = std::move(text);
      break;
    }
    case FbValue::Kind::kInteger:
      s.kind = Slot::Kind::kInteger;
      s.integer = v.integer;
      break;
    case FbValue::Kind::kBoolean:
      s.kind = Slot::Kind::kBoolean;
      s.integer = v.integer;
      break;
    case FbValue::Kind::kFloat:
      s.kind = Slot::Kind::kFloat;
      s.number = v.number;
      break;
    case FbValue::Kind::kDate:
    case FbValue::Kind::kTime:
    case FbValue::Kind::kTimestamp:
      s.kind = Slot::Kind::kTimestamp;
      s.number = v.number;
      break;
  }
  return s;
}

// Lays parameter `i` out in the message as its slot holds it.
void Describe(Firebird::IMetadataBuilder* builder, IMessageMetadata* described, FbStatus& st, unsigned i,
              const Slot& s, FbCharset charset) {
  switch (s.kind) {
    case Slot::Kind::kNull:
      builder->setType(&st, i, (described->getType(&st, i) & ~1u) | 1u);  // keeps the described layout
      break;
    case Slot::Kind::kText:
      builder->setType(&st, i, SQL_VARYING | 1u);
      builder->setLength(&st, i, static_cast<unsigned>(s.bytes.size()));
      builder->setCharSet(&st, i, charset == FbCharset::kUtf8    ? kFbCsUtf8
                                  : charset == FbCharset::kLatin1 ? kFbCsIso8859_1
                                                                  : kFbCsNone);
      builder->setScale(&st, i, 0);
      break;
    case Slot::Kind::kBlob:
      builder->setType(&st, i, SQL_BLOB | 1u);
      builder->setLength(&st, i, sizeof(ISC_QUAD));
      break;
    case Slot::Kind::kInteger:
      builder->setType(&st, i, SQL_INT64 | 1u);
      builder->setLength(&st, i, sizeof(long long));
      builder->setScale(&st, i, 0);
      break;
    case Slot::Kind::kBoolean:
      builder->setType(&st, i, SQL_BOOLEAN | 1u);
      builder->setLength(&st, i, 1);
      break;
    case Slot::Kind::kFloat:
      builder->setType(&st, i, SQL_DOUBLE | 1u);
      builder->setLength(&st, i, sizeof(double));
      builder->setScale(&st, i, 0);
      break;
    case Slot::Kind::kTimestamp:
      builder->setType(&st, i, SQL_TIMESTAMP | 1u);
      builder->setLength(&st, i, sizeof(ISC_TIMESTAMP));
      break;
  }
}

// Writes the slot's value at `data` (and its NULL flag at `null`); a BLOB's text goes to a new
// BLOB of the transaction first.
void Fill(unsigned char* data, unsigned char* null, const Slot& s, Firebird::IAttachment* attachment,
          Firebird::ITransaction* transaction, FbStatus& st) {
  Store<short>(null, s.kind == Slot::Kind::kNull ? -1 : 0);
  switch (s.kind) {
    case Slot::Kind::kNull:
      break;
    case Slot::Kind::kText:
      Store<short>(data, static_cast<short>(s.bytes.size()));
      std::memcpy(data + 2, s.bytes.data(), s.bytes.size());
      break;
    case Slot::Kind::kBlob: {
      ISC_QUAD id{};
      FbPtr<Firebird::IBlob> blob(attachment->createBlob(&st, transaction, &id, 0, nullptr));
      for (std::size_t pos = 0; pos < s.bytes.size(); pos += kBlobSegment) {
        const std::size_t n = std::min(kBlobSegment, s.bytes.size() - pos);
        blob->putSegment(&st, static_cast<unsigned>(n), s.bytes.data() + pos);
      }
      blob->close(&st);
      (void)blob.release();  // close released it
      Store(data, id);
      break;
    }
    case Slot::Kind::kInteger:
      Store<long long>(data, s.integer);
      break;
    case Slot::Kind::kBoolean:
      *data = s.integer ? 1 : 0;
      break;
    case Slot::Kind::kFloat:
      Store<double>(data, s.number);
      break;
    case Slot::Kind::kTimestamp:
      Store(data, ToIscTimestamp(s.number));
      break;
  }
}

}  // namespace

FbInputMessage::FbInputMessage(IMessageMetadata* described, const std::vector<const FbValue*>& values,
                               Firebird::IAttachment* attachment, Firebird::ITransaction* transaction,
                               FbCharset charset) {
  FbCall([&] {
    FbStatus st;
    const unsigned count = described->getCount(&st);
    if (count != values.size()) throw Exception("O número de parâmetros da instrução não confere com os valores");
    std::vector<Slot> slots;
    FbPtr<Firebird::IMetadataBuilder> builder(described->getBuilder(&st));
    for (unsigned i = 0; i < count; ++i) {
      slots.push_back(SlotFor(*values[i], described, st, i, charset));
      Describe(builder.get(), described, st, i, slots.back(), charset);
    }
    metadata_.reset(builder->getMetadata(&st));
    buffer_.Resize(metadata_->getMessageLength(&st));
    for (unsigned i = 0; i < count; ++i)
      Fill(buffer_.data() + metadata_->getOffset(&st, i), buffer_.data() + metadata_->getNullOffset(&st, i),
           slots[i], attachment, transaction, st);
  });
}

}  // namespace quirada
