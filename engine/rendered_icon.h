// The furball, made once: its lossless PNG encoding and its rendered icon families. One is made
// per batch engine and shared, by reference, by every folder engine it makes.
#pragma once

#include "platform/file_ops.h"
#include "platform/icon_writer.h"

class QImage;

namespace lumaro {

using Bytes = platform::Bytes;

class RenderedIcon {
  public:
    // Throws SkinError "无法读取毛球图像" for an image without pixels.
    explicit RenderedIcon(const QImage& image);
    RenderedIcon(const RenderedIcon&) = delete;
    RenderedIcon& operator=(const RenderedIcon&) = delete;

    const Bytes& png() const { return png_; }
    const platform::IconWriter& writer() const { return writer_; }

  private:
    Bytes png_;
    platform::IconWriter writer_;
};

}  // namespace lumaro
