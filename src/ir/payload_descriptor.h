// Reproducibility metadata of an external node; part of the node's identity.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nodalis::ir {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent != present and empty

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// The same fields borrowed from an encoded node key.
struct PayloadDescriptorView {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  std::optional<std::string_view> preprocessing_ref;

  PayloadDescriptor to_owned() const;
  friend bool operator==(const PayloadDescriptorView&, const PayloadDescriptorView&) = default;
};

inline PayloadDescriptorView view_of(const PayloadDescriptor& d) {
  PayloadDescriptorView v{d.kind, d.content_hash, d.framework, d.version, d.io_schema, {}};
  if (d.preprocessing_ref) v.preprocessing_ref = std::string_view(*d.preprocessing_ref);
  return v;
}

}  // namespace nodalis::ir
