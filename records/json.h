// The JSON form of the stored records.
//
// Manifests are written pretty-printed with every object's members sorted by name; scope
// records compactly. Readers accept any member order and whitespace, ignore unknown members,
// take a missing or null optional member as absent, and refuse (with DecodingError) a missing
// required member, a value of the wrong type, an integer that is inexact or out of its field's
// range, and malformed Base64.
#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/bounds.h"
#include "platform/text.h"
#include "records/errors.h"
#include "records/records.h"

namespace lumaro {

// Throws DecodingError when a text member is not valid UTF-8 (such a name cannot be stored).
std::string encodeManifest(const BackupManifest& manifest);
// The number of entries of a document laid out around them as encodeManifest lays one out, found
// without decoding them; nothing for any other text. Says nothing of the entries' validity.
std::optional<std::size_t> countEncodedEntries(std::string_view document);
BackupManifest decodeManifest(std::string_view document);
// The same from a stream, read as the parser goes: the document never stands whole in memory.
BackupManifest decodeManifestFrom(std::istream& document);

std::string encodeScope(const PendingScope& scope);

// Encodes the successive versions of one manifest, keeping the text of each entry. The text is
// exactly what encodeManifest gives, but for entries kept as an adopted file had them. Told which
// entries changed, a call rebuilds the text only from the first entry that differs from the last
// call's on: an apply that appends and updates its last entries costs what those entries cost,
// however many came before; an entry whose phase alone changed has only its phase rewritten.
class ManifestEncoder {
  public:
    // `changed`: the names of the entries that were added or changed since the last call;
    // `rephased`: those whose phase alone changed. The caller vouches that every other entry is as
    // it was then (entries may also have left). The names must be unique. Without `changed`, every
    // entry is encoded afresh.
    const std::string& encode(const BackupManifest& manifest, const std::set<std::string>* changed = nullptr,
                              const std::set<std::string>* rephased = nullptr);
    // Takes `text`, the document `manifest` was decoded from, as the last call's text when it is
    // laid out as encode() lays a document out around its entries: the next call then keeps the
    // entries' texts as they stand. Otherwise the encoder is left as it was; false.
    bool adopt(std::string text, const BackupManifest& manifest);
    // The size a text made afresh is expected to reach (the file last read, say): it is then
    // made in one piece rather than grown step by step through copies.
    void expectSize(std::size_t size) { expected_ = size; }

  private:
    struct Slot {
        std::string name;
        std::size_t offset;  // of the entry's text in text_
        std::size_t length;
        bool desktopForms;        // the entry holds a Linux form: the schema depends on it
        std::size_t desktopUpTo;  // entries with Linux forms up to and including this one
    };
    std::string text_;
    std::vector<Slot> slots_;
    std::size_t expected_ = 0;
};
PendingScope decodeScope(std::string_view document);

// The acceptance check of a decoded manifest: returns normally, or throws SkinError with
// kUnsupportedManifestMessage or kInvalidManifestMessage.
void checkManifest(const BackupManifest& manifest);

// The schema of a manifest that holds any Linux form; one without them is schema 1.
inline constexpr std::int64_t kSchemaWithDesktopForms = 2;
inline constexpr const char* kUnsupportedManifestMessage = "备份格式不受支持，请保留备份目录。";
inline constexpr const char* kInvalidManifestMessage = "备份内容无效，请保留备份目录。";

using platform::decodeBase64;
using platform::encodeBase64;

}  // namespace lumaro
