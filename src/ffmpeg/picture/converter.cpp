#include "ffmpeg/picture/converter.hpp"

namespace ffmpeg {

bool PictureConverter::allocate() noexcept { return color_.allocate(); }

void PictureConverter::release() noexcept {
  transforms_.resizers.clear();
  color_.release();
  for (auto& buffer : transforms_.rotation_buffers) std::vector<uint8_t>().swap(buffer);
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
    TRY_ASSIGN(picture, apply_transforms(transforms_, transforms, picture, format.rgb_format));
  }
  return batch.write(picture, position);
}

}  // namespace ffmpeg
