// The part shared by decode_video and decode_timestamps once their arguments are
// converted: transforms, output type, the media work without the lock, the result.
#pragma once

#include "python/python.hpp"

#include <string>
#include <vector>

#include "ffmpeg/video/request.hpp"

namespace av {

// Returns the (frames, starts, durations) tuple, or null with an exception set.
// `pictures` is the decoder's converter, null for an audio decoder.
PyObject* run_video_request(ffmpeg::Decoder& engine, ffmpeg::PictureConverter* pictures,
                            ffmpeg::VideoRequest request,
                            const std::string& output_dtype,
                            const std::vector<ffmpeg::TransformSpec>& transform_specs);

}  // namespace av
