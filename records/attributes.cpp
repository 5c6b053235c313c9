#include "records/attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "records/errors.h"
#include "records/identity.h"

namespace lumaro {

using platform::lastPathComponent;

std::optional<Bytes> readIconAttribute(platform::FileSystem& fs, int fd, const std::string& name,
                                       const std::string& itemName) {
    std::optional<Bytes> value;
    platform::AttributeReadStep step{};
    if (platform::readAttribute(fs, fd, name, value, &step) != 0) {
        throw SkinError(step == platform::AttributeReadStep::size ? "无法备份图标属性或属性过大：" + itemName
                                                                  : "读取图标时项目发生变化：" + itemName);
    }
    return value;
}

void writeIconAttribute(platform::FileSystem& fs, int fd, const std::string& name,
                        const std::optional<Bytes>& value, const std::string& itemName) {
    if (!value) {
        const int err = fs.fremoveAttribute(fd, name);
        if (err != 0 && err != ENODATA) {
            throw SkinError("无法清除图标属性：" + itemName);
        }
        return;
    }
    if (name == kResourceForkAttribute && readIconAttribute(fs, fd, name, itemName)) {
        if (fs.fremoveAttribute(fd, name) != 0) {
            throw SkinError("无法替换旧图标资源");
        }
    }
    const int err = fs.fsetAttribute(fd, name, value->data(), value->size());
    if (err != 0) {
        throw SkinError("无法写入图标属性：" + itemName + "（" + platform::errorText(err) + "）");
    }
}

namespace {

constexpr std::size_t kShortList = 4096;

}  // namespace

AttributeMap readAllAttributes(platform::FileSystem& fs, int fd) {
    // Most lists are short: one call with room for them; a size query only for a longer one.
    std::string list(kShortList, '\0');
    std::size_t length = 0;
    int err = fs.flistAttributes(fd, list.data(), list.size(), length);
    if (err == 0 && length <= list.size()) {
        list.resize(length);
    } else {
        std::size_t size = 0;
        err = err == 0 || err == ERANGE ? fs.flistAttributes(fd, nullptr, 0, size) : err;
        if (err != 0 || size > platform::kMaxValueSize) {
            throw SkinError("无法读取图标文件属性");
        }
        list.assign(size > 0 ? size : 1, '\0');
        err = fs.flistAttributes(fd, list.data(), size, length);
        if (err != 0 || length != size) {
            throw SkinError("图标文件属性发生变化");
        }
        list.resize(size);
    }
    AttributeMap attributes;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find('\0', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (end > start) {
            const std::string name = platform::toValidUtf8(std::string_view(list).substr(start, end - start));
            if (auto value = readIconAttribute(fs, fd, name, kIconFileName)) {
                attributes.insert_or_assign(name, std::move(*value));
            }
        }
        start = end + 1;
    }
    return attributes;
}

}  // namespace lumaro
