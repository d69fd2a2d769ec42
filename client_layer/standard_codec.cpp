#include "standard_codec.h"

#include <cstring>
#include <iostream>
#include <map>
#include <mutex>

namespace flutter {
namespace {

enum Type : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,  // read as a string, never written
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

void WriteSize(size_t size, ByteStreamWriter* stream) {
  if (size < 254) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    stream->WriteByte(254);
    const auto value = static_cast<uint16_t>(size);
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    stream->WriteBytes(bytes, 2);
  } else {
    stream->WriteByte(255);
    const auto value = static_cast<uint32_t>(size);
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    stream->WriteBytes(bytes, 4);
  }
}

size_t ReadSize(ByteStreamReader* stream) {
  const uint8_t first = stream->ReadByte();
  if (first < 254) return first;
  uint8_t bytes[4] = {};
  if (first == 254) {
    stream->ReadBytes(bytes, 2);
    return size_t{bytes[0]} | size_t{bytes[1]} << 8;
  }
  stream->ReadBytes(bytes, 4);
  return size_t{bytes[0]} | size_t{bytes[1]} << 8 | size_t{bytes[2]} << 16 | size_t{bytes[3]} << 24;
}

// A claimed count the message cannot hold is cut to what is left, with the reader's diagnostic:
// a few bytes claiming billions of elements must not make the decoder reserve memory for them.
size_t Plausible(size_t claimed, size_t elementBytes, ByteStreamReader* stream) {
  const size_t fits = stream->Remaining() / elementBytes;
  if (claimed <= fits) return claimed;
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
  return fits;
}

template <typename T>
void WriteRaw(const T& value, ByteStreamWriter* stream) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  stream->WriteBytes(bytes, sizeof(T));
}

template <typename T>
T ReadRaw(ByteStreamReader* stream) {
  uint8_t bytes[sizeof(T)] = {};
  stream->ReadBytes(bytes, sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

template <typename T>
void WriteTypedList(const std::vector<T>& list, ByteStreamWriter* stream) {
  WriteSize(list.size(), stream);
  if (list.empty()) return;
  if (sizeof(T) > 1) stream->WriteAlignment(sizeof(T));
  stream->WriteBytes(reinterpret_cast<const uint8_t*>(list.data()), list.size() * sizeof(T));
}

template <typename T>
std::vector<T> ReadTypedList(ByteStreamReader* stream) {
  const size_t claimed = ReadSize(stream);
  if (sizeof(T) > 1) stream->ReadAlignment(sizeof(T));
  std::vector<T> list(Plausible(claimed, sizeof(T), stream));
  if (!list.empty()) {
    stream->ReadBytes(reinterpret_cast<uint8_t*>(list.data()), list.size() * sizeof(T));
  }
  return list;
}

}  // namespace

const StandardCodecSerializer& StandardCodecSerializer::GetInstance() {
  static const StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
  return ReadNested(stream, 0);
}

EncodableValue StandardCodecSerializer::ReadNested(ByteStreamReader* stream, int depth) const {
  const uint8_t type = stream->ReadByte();
  return depth == 0 ? ReadValueOfType(type, stream) : ReadOfType(type, stream, depth);
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  return ReadOfType(type, stream, 0);
}

EncodableValue StandardCodecSerializer::ReadOfType(uint8_t type, ByteStreamReader* stream,
                                                   int depth) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return EncodableValue(true);
    case kFalse:
      return EncodableValue(false);
    case kInt32:
      return EncodableValue(ReadRaw<int32_t>(stream));
    case kInt64:
      return EncodableValue(ReadRaw<int64_t>(stream));
    case kFloat64:
      stream->ReadAlignment(8);
      return EncodableValue(ReadRaw<double>(stream));
    case kLargeInt:
    case kString: {
      std::string text(Plausible(ReadSize(stream), 1, stream), '\0');
      if (!text.empty()) stream->ReadBytes(reinterpret_cast<uint8_t*>(text.data()), text.size());
      return EncodableValue(std::move(text));
    }
    case kUInt8List:
      return EncodableValue(ReadTypedList<uint8_t>(stream));
    case kInt32List:
      return EncodableValue(ReadTypedList<int32_t>(stream));
    case kInt64List:
      return EncodableValue(ReadTypedList<int64_t>(stream));
    case kFloat64List:
      return EncodableValue(ReadTypedList<double>(stream));
    case kFloat32List:
      return EncodableValue(ReadTypedList<float>(stream));
    case kList:
    case kMap: {
      if (depth >= kMaxNesting) {
        std::cerr << "Nesting too deep in StandardCodecSerializer::ReadValueOfType; read as null"
                  << std::endl;
        return EncodableValue();
      }
      // Every element takes at least one byte (its type), a map entry at least two.
      const size_t count = Plausible(ReadSize(stream), type == kList ? 1 : 2, stream);
      if (type == kList) {
        EncodableList list;
        for (size_t i = 0; i < count && stream->Remaining() > 0; ++i) {
          list.push_back(ReadNested(stream, depth + 1));
        }
        return EncodableValue(std::move(list));
      }
      EncodableMap map;
      for (size_t i = 0; i < count && stream->Remaining() > 0; ++i) {
        EncodableValue key = ReadNested(stream, depth + 1);
        EncodableValue value = ReadNested(stream, depth + 1);
        map.emplace(std::move(key), std::move(value));  // a repeated key keeps its first value
      }
      return EncodableValue(std::move(map));
    }
    default:
      std::cerr << "Unknown type in StandardCodecSerializer::ReadValueOfType: "
                << static_cast<int>(type) << std::endl;
      return EncodableValue();
  }
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  std::visit(
      [this, stream](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          stream->WriteByte(kNull);
        } else if constexpr (std::is_same_v<T, bool>) {
          stream->WriteByte(v ? kTrue : kFalse);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          stream->WriteByte(kInt32);
          WriteRaw(v, stream);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          stream->WriteByte(kInt64);
          WriteRaw(v, stream);
        } else if constexpr (std::is_same_v<T, double>) {
          stream->WriteByte(kFloat64);
          stream->WriteAlignment(8);
          WriteRaw(v, stream);
        } else if constexpr (std::is_same_v<T, std::string>) {
          stream->WriteByte(kString);
          WriteSize(v.size(), stream);
          if (!v.empty()) stream->WriteBytes(reinterpret_cast<const uint8_t*>(v.data()), v.size());
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          stream->WriteByte(kUInt8List);
          WriteTypedList(v, stream);
        } else if constexpr (std::is_same_v<T, std::vector<int32_t>>) {
          stream->WriteByte(kInt32List);
          WriteTypedList(v, stream);
        } else if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
          stream->WriteByte(kInt64List);
          WriteTypedList(v, stream);
        } else if constexpr (std::is_same_v<T, std::vector<double>>) {
          stream->WriteByte(kFloat64List);
          WriteTypedList(v, stream);
        } else if constexpr (std::is_same_v<T, std::vector<float>>) {
          stream->WriteByte(kFloat32List);
          WriteTypedList(v, stream);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          stream->WriteByte(kList);
          WriteSize(v.size(), stream);
          for (const EncodableValue& element : v) WriteValue(element, stream);
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          stream->WriteByte(kMap);
          WriteSize(v.size(), stream);
          for (const auto& [key, entry] : v) {
            WriteValue(key, stream);
            WriteValue(entry, stream);
          }
        } else {
          static_assert(std::is_same_v<T, CustomEncodableValue>);
          stream->WriteByte(kNull);
          std::cerr << "Unhandled custom type in StandardCodecSerializer::WriteValue. "
                    << "Custom types require codec extensions." << std::endl;
        }
      },
      static_cast<const EncodableValueVariant&>(value));
}

const StandardMethodCodec& StandardMethodCodec::GetInstance(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) serializer = &StandardCodecSerializer::GetInstance();
  using Codecs = std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>>;
  static std::mutex mutex;
  // Never freed: channels may still encode while other statics are destroyed at exit.
  static Codecs& codecs = *std::make_unique<Codecs>().release();
  std::lock_guard lock(mutex);
  auto& codec = codecs[serializer];
  if (!codec) codec = std::make_unique<StandardMethodCodec>(serializer);
  return *codec;
}

std::unique_ptr<MethodCall<EncodableValue>> StandardMethodCodec::DecodeMethodCall(
    const uint8_t* message, size_t size) const {
  ByteBufferStreamReader stream(message, size);
  EncodableValue name = serializer_->ReadValue(&stream);
  auto* text = std::get_if<std::string>(&name);
  if (text == nullptr) {
    std::cerr << "Invalid method call; method name is not a string." << std::endl;
    return nullptr;
  }
  auto arguments = std::make_unique<EncodableValue>(serializer_->ReadValue(&stream));
  return std::make_unique<MethodCall<EncodableValue>>(std::move(*text), std::move(arguments));
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeMethodCall(
    const MethodCall<EncodableValue>& call) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  serializer_->WriteValue(EncodableValue(call.method_name()), &stream);
  serializer_->WriteValue(call.arguments() != nullptr ? *call.arguments() : EncodableValue(),
                          &stream);
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeSuccessEnvelope(
    const EncodableValue* result) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(0);
  serializer_->WriteValue(result != nullptr ? *result : EncodableValue(), &stream);
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeErrorEnvelope(
    const std::string& code, const std::string& message, const EncodableValue* details) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(1);
  serializer_->WriteValue(EncodableValue(code), &stream);
  serializer_->WriteValue(message.empty() ? EncodableValue() : EncodableValue(message), &stream);
  serializer_->WriteValue(details != nullptr ? *details : EncodableValue(), &stream);
  return encoded;
}

bool StandardMethodCodec::DecodeResponseEnvelope(const uint8_t* response, size_t size,
                                                 MethodResult<EncodableValue>* result) const {
  ByteBufferStreamReader stream(response, size);
  const uint8_t kind = stream.ReadByte();
  if (kind == 0) {
    result->Success(serializer_->ReadValue(&stream));
    return true;
  }
  if (kind != 1) return false;
  const EncodableValue code = serializer_->ReadValue(&stream);
  const EncodableValue message = serializer_->ReadValue(&stream);
  const EncodableValue details = serializer_->ReadValue(&stream);
  const auto* codeText = std::get_if<std::string>(&code);
  const auto* messageText = std::get_if<std::string>(&message);
  const std::string codeString = codeText != nullptr ? *codeText : std::string();
  const std::string messageString = messageText != nullptr ? *messageText : std::string();
  if (details.IsNull()) {
    result->Error(codeString, messageString);
  } else {
    result->Error(codeString, messageString, details);
  }
  return true;
}

}  // namespace flutter
