// How paths and URLs that FFmpeg opens itself are opened: TLS with the server's
// certificate verified against a CA bundle, a read/write timeout, a forward-reading
// cache for HTTP servers that ignore byte ranges, and failures that name the reason a
// protocol logged.
#pragma once

#include <optional>
#include <string>

#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// Seconds a network read or write (connecting included) may wait before the open or
// the read fails with a timeout.
constexpr int kUrlTimeoutSeconds = 30;

// The CA bundle that TLS verifies servers against: $SSL_CERT_FILE when set, else the
// first of the usual system bundles that exists; none when there is none.
std::optional<std::string> ca_bundle();

// The options of an open of `text` (empty for a plain file path): tls_verify=1, the
// CA bundle, rw_timeout; with `forward_only`, also an unlimited read-ahead for the
// cache protocol.
Result<DictionaryPtr> url_options(const std::string& text, bool forward_only);

// An http(s) input whose server does not serve byte ranges: it can only be read
// forward, so it is reopened as "cache:<url>", which keeps what was read in an
// unlinked temporary file and reads forward to reach a later position.
bool needs_forward_cache(const AVFormatContext& input, const std::string& text);

// Collects the first error that a protocol (tcp, tls, http, ...) logs on this thread
// while it lives: FFmpeg reports why a TLS handshake or a name lookup failed only in its
// log, and returns a bare "Input/output error". Every message still reaches FFmpeg's
// own log output.
class ProtocolLog {
 public:
  ProtocolLog();
  ~ProtocolLog();
  ProtocolLog(const ProtocolLog&) = delete;
  ProtocolLog& operator=(const ProtocolLog&) = delete;

  // `error` with the logged reason added: "open input: Input/output error (tls: Peer
  // certificate failed verification; CA bundle: /etc/ssl/certs/ca-certificates.crt)".
  Error explain(Error error) const;

  void record(const char* protocol, const char* message);

 private:
  std::string protocol_;
  std::string message_;
  ProtocolLog* previous_;
};

}  // namespace ffmpeg
