#include "ffmpeg/picture/converter.hpp"

namespace ffmpeg {

Result<std::unique_ptr<PictureConverter>> PictureConverter::create() {
  std::unique_ptr<PictureConverter> converter(new PictureConverter());
  if (!converter->color_.allocate()) return Error::runtime("cannot allocate decoding buffers");
  return converter;
}

Status PictureConverter::write(const AVFrame& frame, const PictureFormat& format,
                               const std::vector<Transform>& transforms, Batch& batch,
                               size_t position) {
  if (transforms.empty() && converts_in_place(frame, format))
    // No copy between the converter and the array.
    return color_.to_rgb_into(frame, format, batch.slot(position));
  Picture picture{frame.data[0], frame.linesize[0], frame.width, frame.height};
  if (format.type != OutputType::Native) {
    TRY_ASSIGN(picture, color_.to_rgb(frame, format.rgb_format));
    TRY_ASSIGN(picture, apply_transforms(transforms_, transforms, picture, format));
  }
  return batch.write(picture, position);
}

}  // namespace ffmpeg
