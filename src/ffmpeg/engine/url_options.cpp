#include "ffmpeg/engine/url_options.hpp"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavutil/log.h>
}

namespace ffmpeg {
namespace {

// Where the common distributions keep their CA bundle (Debian and Ubuntu, Fedora and
// RHEL, openSUSE, Alpine, RHEL's extracted form).
constexpr const char* kSystemBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
};

bool is_file(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool has_prefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char c =
        text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

thread_local ProtocolLog* active_log = nullptr;

// Installed once for the process: hands protocol errors to the thread's ProtocolLog,
// then logs as FFmpeg would.
void log_callback(void* object, int level, const char* format, va_list args) noexcept {
  if (active_log && object && level <= AV_LOG_ERROR) {
    const AVClass* cls = *static_cast<const AVClass**>(object);
    if (cls && std::strcmp(cls->class_name, "URLContext") == 0) {
      char message[512];
      va_list copy;
      va_copy(copy, args);
      std::vsnprintf(message, sizeof message, format, copy);
      va_end(copy);
      try {
        active_log->record(cls->item_name(object), message);
      } catch (...) {
        // Out of memory: the reason is lost, the open still fails with FFmpeg's error.
      }
    }
  }
  av_log_default_callback(object, level, format, args);
}

}  // namespace

std::optional<std::string> ca_bundle() {
  if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) return std::string(file);
  for (const char* path : kSystemBundles) {
    if (is_file(path)) return std::string(path);
  }
  return std::nullopt;
}

Result<DictionaryPtr> url_options(const std::string& text, bool forward_only) {
  // A plain path opens no connection: no options.
  if (text.find("://") == std::string::npos) return DictionaryPtr();
  AVDictionary* raw = nullptr;
  int r = av_dict_set(&raw, "tls_verify", "1", 0);
  const auto bundle = ca_bundle();
  if (r >= 0 && bundle) r = av_dict_set(&raw, "ca_file", bundle->c_str(), 0);
  if (r >= 0) r = av_dict_set_int(&raw, "rw_timeout", int64_t{kUrlTimeoutSeconds} * 1000000, 0);
  if (r >= 0 && forward_only) r = av_dict_set(&raw, "read_ahead_limit", "-1", 0);
  DictionaryPtr options(raw);
  TRY(check(r, "open input"));
  return options;
}

bool needs_forward_cache(const AVFormatContext& input, const std::string& text) {
  return (has_prefix(text, "http://") || has_prefix(text, "https://")) && input.pb &&
         !(input.pb->seekable & AVIO_SEEKABLE_NORMAL);
}

ProtocolLog::ProtocolLog() : previous_(active_log) {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(log_callback); });
  active_log = this;
}

ProtocolLog::~ProtocolLog() { active_log = previous_; }

void ProtocolLog::record(const char* protocol, const char* message) {
  if (!message_.empty()) return;  // the first error is the cause; later ones follow from it
  std::string_view text(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  if (text.empty()) return;
  protocol_ = protocol ? protocol : "";
  message_ = utf8_lossy(text.data(), text.size());
}

Error ProtocolLog::explain(Error error) const {
  if (message_.empty()) return error;
  std::string detail = protocol_ + ": " + message_;
  if (protocol_ == "tls") {
    const auto bundle = ca_bundle();
    detail += bundle ? "; CA bundle: " + *bundle : "; no CA bundle found, set SSL_CERT_FILE";
  }
  error.message += " (" + detail + ")";
  return error;
}

}  // namespace ffmpeg
