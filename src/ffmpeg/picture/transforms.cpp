#include "ffmpeg/picture/transforms.hpp"

#include <cstring>

#include "ffmpeg/picture/rotation.hpp"

namespace ffmpeg {
namespace {

// swscale takes the colour of packed RGB input in pairs of pixels, so for an odd width
// it reads one pixel past the end of every row: row padding, left-over bytes or a
// neighbour outside a crop. Copying each row's last pixel there makes the result depend
// on the picture alone. Every view belongs to an engine buffer with room for that pixel
// after each row, and nothing reads the buffer again for this picture.
void extend_last_column(const Picture& p, int bpp) {
  if (p.width % 2 == 0 || p.linesize < (int64_t{p.width} + 1) * bpp) return;
  uint8_t* last = p.data + static_cast<ptrdiff_t>(p.width - 1) * bpp;
  for (int y = 0; y < p.height; ++y, last += p.linesize) std::memcpy(last + bpp, last, bpp);
}

Result<Picture> resize(Resizer& r, const Picture& in, const Resize& step,
                       const PictureFormat& picture_format) {
  extend_last_column(in, picture_format.pixel_bytes());
  const AVPixelFormat format = picture_format.rgb_format;
  const Resizer::Key key{in.width, in.height, step.width, step.height, format};
  if (!r.scaler || !(r.key == key)) {
    r.scaler.reset(sws_getContext(in.width, in.height, format, step.width, step.height, format,
                                  SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!r.scaler) return Error::runtime("cannot initialize resize");
    r.key = key;
    av_frame_unref(r.frame.get());
    r.frame->width = step.width;
    r.frame->height = step.height;
    r.frame->format = format;
    if (Status s = check(av_frame_get_buffer(r.frame.get(), 32), "allocate resize frame"); !s) {
      r.scaler.reset();  // rebuilt on next use rather than reused without a buffer
      return std::move(s).error();
    }
  }
  const uint8_t* src[4] = {in.data, nullptr, nullptr, nullptr};
  const int src_linesize[4] = {in.linesize, 0, 0, 0};
  const int rows =
      sws_scale(r.scaler.get(), src, src_linesize, 0, in.height, r.frame->data, r.frame->linesize);
  if (rows != step.height) return Error::runtime("resize failed");
  return Picture{r.frame->data[0], r.frame->linesize[0], step.width, step.height};
}

bool lies_in(const Picture& p, const std::vector<uint8_t>& buffer) {
  return !buffer.empty() && p.data >= buffer.data() && p.data < buffer.data() + buffer.size();
}

}  // namespace

Result<std::vector<Transform>> parse_transforms(const std::vector<TransformSpec>& specs) {
  std::vector<Transform> out;
  out.reserve(specs.size());
  for (const auto& s : specs) {
    if (s.name == "crop") out.emplace_back(Crop{s.a, s.b, s.c, s.d});
    else if (s.name == "resize") out.emplace_back(Resize{s.c, s.d});
    else if (s.name == "rotate")
      out.emplace_back(Rotate{static_cast<int>(static_cast<uint32_t>(s.a) & 3u)});
    else return Error::invalid("invalid transform");
  }
  return out;
}

Result<Size> output_size(const std::vector<Transform>& transforms, Size size) {
  for (const auto& t : transforms) {
    if (const auto* r = std::get_if<Rotate>(&t)) {
      if (r->turns % 2) std::swap(size.height, size.width);
    } else if (const auto* c = std::get_if<Crop>(&t)) {
      // Sums in 64 bits: no wrap-around can make an oversized crop fit.
      const bool fits = c->top >= 0 && c->left >= 0 && c->height > 0 && c->width > 0 &&
                        int64_t{c->top} + c->height <= size.height &&
                        int64_t{c->left} + c->width <= size.width;
      if (!fits) return Error::invalid("crop exceeds the frame");
      size = {c->height, c->width};
    } else {
      const auto& s = std::get<Resize>(t);
      if (s.height <= 0 || s.width <= 0) return Error::invalid("resize size must be positive");
      size = {s.height, s.width};
    }
  }
  return size;
}

Result<Picture> apply_transforms(TransformState& state, const std::vector<Transform>& transforms,
                                 Picture picture, const PictureFormat& format) {
  const int bpp = format.pixel_bytes();
  size_t k = 0;
  for (const auto& t : transforms) {
    if (const auto* c = std::get_if<Crop>(&t)) {
      picture.data +=
          static_cast<ptrdiff_t>(c->top) * picture.linesize + static_cast<ptrdiff_t>(c->left) * bpp;
      picture.height = c->height;
      picture.width = c->width;
    } else if (const auto* s = std::get_if<Resize>(&t)) {
      if (state.resizers.size() <= k) {
        FramePtr frame(av_frame_alloc());
        if (!frame) return Error::runtime("cannot allocate resize frame");
        state.resizers.push_back(Resizer{std::move(frame), nullptr, {}});
      }
      TRY_ASSIGN(picture, resize(state.resizers[k++], picture, *s, format));
    } else {
      auto& out = state.rotation_buffers[lies_in(picture, state.rotation_buffers[0]) ? 1 : 0];
      picture = rotate(picture, std::get<Rotate>(t).turns, bpp, out);
    }
  }
  return picture;
}

}  // namespace ffmpeg
