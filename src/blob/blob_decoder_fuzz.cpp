// libFuzzer target for the blob decoder: any byte string must decode to a
// store or stop with a DecodeError, within the buffer and without crashing;
// whatever decodes must re-encode to a canonical blob that is a fixed point.
//
// Build with clang and instrument the libraries too:
//   CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DNODALIS_FUZZ=ON -DNODALIS_PYTHON=OFF \
//     -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
//   cmake --build build/fuzz --target blob_decoder_fuzz
//   build/fuzz/blob_decoder_fuzz -max_len=8192 WORK_DIR src/blob/fuzz_corpus
// (new inputs go to WORK_DIR; the seeds stay as they are).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "blob/blob_sample.h"
#include "blob/decoder.h"
#include "blob/encoder.h"

namespace {

std::string encode(const nodalis::ir::GraphStore& store) {
  nodalis::ir::StoreSnapshot snap = store.snapshot();
  return nodalis::blob::encode_nodes(snap.nodes, snap.outputs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view blob(reinterpret_cast<const char*>(data), size);
  // The tight record pass never accepts what the full checks refuse.
  if (!nodalis::blob::plain_records_agree(blob)) __builtin_trap();
  auto decoded = nodalis::blob::deserialize(blob);
  if (!decoded) {
    if (decoded.error().display().empty()) __builtin_trap();
    return 0;
  }
  // Decoding normalises (key order, bool and presence bytes, merged
  // duplicates), so the re-encoded blob must come back byte for byte.
  // Keys interned with the offsets the decoder found are the keys the IR
  // builds itself from the same bytes.
  for (const nodalis::ir::NodeKey& key : decoded.value()->nodes()) {
    nodalis::ir::NodeKey adopted = nodalis::ir::NodeKey::from_trusted_record(key.record());
    if (!(key == adopted) || key.hash(1) != adopted.hash(1) || key.has_nan() != adopted.has_nan() ||
        key.params().encoded() != adopted.params().encoded() ||
        key.inputs().to_vector() != adopted.inputs().to_vector()) {
      __builtin_trap();
    }
  }
  std::string once = encode(*decoded.value());
  auto again = nodalis::blob::deserialize(once);
  if (!again) __builtin_trap();
  if (encode(*again.value()) != once) __builtin_trap();
  if (again.value()->node_count() != decoded.value()->node_count()) __builtin_trap();
  return 0;
}
