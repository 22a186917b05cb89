// HandmadeBlob: writes blob bytes field by field, for tests that need blobs
// the encoder would never produce (truncated, mis-tagged, unsorted, forged).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace nodalis::blob {

class HandmadeBlob {
 public:
  HandmadeBlob& raw(std::string_view bytes) { bytes_.append(bytes); return *this; }
  HandmadeBlob& u8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); return *this; }
  HandmadeBlob& u32(uint32_t v) { return put(&v, 4); }
  HandmadeBlob& u64(uint64_t v) { return put(&v, 8); }
  HandmadeBlob& f64(double v) { return put(&v, 8); }
  HandmadeBlob& str(std::string_view s) { u32(static_cast<uint32_t>(s.size())); return raw(s); }
  // "NIR1" and a node count.
  HandmadeBlob& header(uint32_t nodes) { return raw("NIR1").u32(nodes); }
  HandmadeBlob& source(std::string_view name) { return u8(0).str(name).u32(0); }
  HandmadeBlob& op(std::string_view name, std::initializer_list<uint64_t> inputs) {
    u8(1).str(name).u32(0).u32(static_cast<uint32_t>(inputs.size()));
    for (uint64_t id : inputs) u64(id);
    return *this;
  }
  HandmadeBlob& outputs(std::initializer_list<uint64_t> ids) {
    u32(static_cast<uint32_t>(ids.size()));
    for (uint64_t id : ids) u64(id);
    return *this;
  }
  const std::string& bytes() const { return bytes_; }
  operator std::string_view() const { return bytes_; }

 private:
  HandmadeBlob& put(const void* p, size_t n) {
    bytes_.append(static_cast<const char*>(p), n);
    return *this;
  }
  std::string bytes_;
};

}  // namespace nodalis::blob
