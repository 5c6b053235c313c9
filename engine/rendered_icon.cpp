#include "engine/rendered_icon.h"

#include <QBuffer>
#include <QImage>

#include "records/errors.h"

namespace lumaro {

namespace {

Bytes encodePng(const QImage& image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        throw SkinError("无法读取毛球图像");
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG") || encoded.isEmpty()) {
        throw SkinError("无法读取毛球图像");
    }
    return Bytes(encoded.begin(), encoded.end());
}

}  // namespace

RenderedIcon::RenderedIcon(const QImage& image) : png_(encodePng(image)), writer_(image) {
    if (!writer_.valid()) {
        throw SkinError("无法读取毛球图像");
    }
}

}  // namespace lumaro
