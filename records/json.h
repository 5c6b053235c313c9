// The JSON form of the stored records.
//
// Manifests are written pretty-printed with every object's members sorted by name; scope
// records compactly. Readers accept any member order and whitespace, ignore unknown members,
// take a missing or null optional member as absent, and refuse (with DecodingError) a missing
// required member, a value of the wrong type, an integer that is inexact or out of its field's
// range, and malformed Base64.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "records/errors.h"
#include "records/records.h"

namespace lumaro {

// Throws DecodingError when a text member is not valid UTF-8 (such a name cannot be stored).
std::string encodeManifest(const BackupManifest& manifest);
BackupManifest decodeManifest(std::string_view document);

std::string encodeScope(const PendingScope& scope);

// Encodes the successive versions of one manifest, re-encoding only the entries that changed
// since the previous call (an entry is reused only when it is equal to the one encoded). The
// text is exactly what encodeManifest gives.
class ManifestEncoder {
  public:
    std::string encode(const BackupManifest& manifest);

  private:
    struct Cached {
        BackupEntry entry;
        std::string text;
    };
    std::map<std::string, Cached> cache_;
};
PendingScope decodeScope(std::string_view document);

// The acceptance check of a decoded manifest: returns normally, or throws SkinError with
// kUnsupportedManifestMessage or kInvalidManifestMessage.
void checkManifest(const BackupManifest& manifest);

// The schema of a manifest that holds any Linux form; one without them is schema 1.
inline constexpr std::int64_t kSchemaWithDesktopForms = 2;
inline constexpr const char* kUnsupportedManifestMessage = "备份格式不受支持，请保留备份目录。";
inline constexpr const char* kInvalidManifestMessage = "备份内容无效，请保留备份目录。";

// The largest value any stored byte string may hold.
inline constexpr std::uint64_t kMaxStoredValue = 16777216;

// Strict standard Base64: RFC 4648 alphabet, "=" padding, no whitespace or line breaks.
std::string encodeBase64(const Bytes& bytes);
// Returns false for anything malformed.
bool decodeBase64(std::string_view text, Bytes& out);

}  // namespace lumaro
