// Saving a protocol: the extension check, the default signal, the encoding and the write.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "call.hpp"
#include "fileio.hpp"
#include "methods.hpp"
#include "protocols/encoding.hpp"
#include "protocols/failure.hpp"

namespace pyqelm {
namespace {

#ifndef _WIN32
// Pieces of 4 MiB: the disk is busy with the first pieces long before the last is made, and
// each write and start of writeback moves enough to cost nothing (side by side, 4 MiB saved
// slightly faster than 1 or 8 MiB, and 256 KiB took more processor time).
constexpr std::size_t piece_size = std::size_t{4} << 20;

// The protocol's file, encoded piece by piece while the file layer writes the pieces made.
class EncodedProtocol final : public fileio::Contents {
public:
    explicit EncodedProtocol(const protocols::Settings& settings) noexcept : settings_(settings) {}

    std::uint64_t size() const override {
        if (size_ == unknown) size_ = protocols::encoded_size(settings_);
        return size_;
    }

    int produce(Output& out) const override {
        class Forward final : public protocols::ChunkSink {
        public:
            explicit Forward(Output& out) noexcept : out_(out) {}
            bool take(std::span<const std::uint8_t> piece) override {
                error = out_.write(piece);
                return error == 0;
            }
            int error = 0;

        private:
            Output& out_;
        };
        Forward forward(out);
        protocols::encode_settings(settings_, piece_size, forward);
        return forward.error;
    }

private:
    static constexpr std::uint64_t unknown = ~std::uint64_t{0};
    const protocols::Settings& settings_;
    mutable std::uint64_t size_ = unknown;
};
#endif

}  // namespace

constinit const MethodEntry save = declare<"save", Access::Exclusive, "filepath">(
    [](ProtocolObject& p, const std::string& filepath) {
        // Byte-exact and case-sensitive, before anything is touched.
        PROTOCOLS_ENSURE(std::string_view(filepath).ends_with(".qelm"),
                         "filepath.ends_with(\".qelm\")");
        // A protocol always carries at least one signal; the one supplied here stays in the
        // protocol.
        if (p.settings().signals.empty()) {
            p.settings().signals.emplace_back(protocols::ConstantSignalParams{0.0});
        }
#ifdef _WIN32
        // The Windows file layer takes the whole file at once.
        protocols::ByteBuffer encoded;
        protocols::encode_settings(p.settings(), encoded);
        auto error = fileio::replace_file(filepath, std::span(encoded));
#else
        auto error = fileio::replace_file(filepath, EncodedProtocol(p.settings()));
#endif
        if (error) throw protocols::unwrap_failure(*error);
    });

}  // namespace pyqelm
