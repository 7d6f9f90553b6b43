#include "ostrel/io/open_source.h"

#include "ostrel/io/file_source.h"
#include "ostrel/io/tcp_source.h"

namespace ostrel::io {
namespace {

constexpr std::string_view kShm = "shm://";
constexpr std::string_view kTcp = "tcp://";

}  // namespace

qssf::ReaderConfig module_reader_config() {
  qssf::ReaderConfig config;
  config.validation = 2;
  return config;
}

Result<OpenedSource, OpenError> open_source(std::string_view source, const WaitInterrupt* interrupt) {
  if (source.starts_with(kShm)) return fail(OpenError{OpenError::Kind::Unsupported, std::string(kShmRefusal)});
  auto runtime = IoRuntime::create();
  if (!runtime.ok()) return fail(OpenError{OpenError::Kind::Runtime, runtime.error()});
  OpenedSource opened{std::move(runtime).value(), nullptr};

  std::unique_ptr<qssf::ByteSource> bytes;
  OsFailure failure;
  if (source.starts_with(kTcp)) {
    std::string_view address = source;
    while (address.starts_with(kTcp)) address.remove_prefix(kTcp.size());
    auto tcp = TcpSource::connect(*opened.runtime, address, interrupt);
    if (tcp.ok()) bytes = std::move(tcp).value();
    else failure = std::move(tcp).error();
  } else {
    auto file = FileSource::open(*opened.runtime, std::string(source), interrupt);
    if (file.ok()) bytes = std::move(file).value();
    else failure = std::move(file).error();
  }
  // On failure `opened` goes out of scope here, joining the runtime's threads before we return.
  if (!bytes && failure.code == TcpSource::kConnectInterrupted)
    return fail(OpenError{OpenError::Kind::Interrupted, failure.text});
  if (!bytes)
    return fail(OpenError{OpenError::Kind::Io, qssf::QssfError::io(failure.text).message(),
                          failure.code});
  opened.source = std::make_unique<FrameSource>(std::move(bytes), module_reader_config());
  return opened;
}

}  // namespace ostrel::io
