// Fuzz target for the decoder: any input is either refused with an error that names a place in
// it, or accepted, and then it must encode again to exactly the same bytes, and its text form
// and checks must run through.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <variant>

#include "protocols/checks.hpp"
#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace protocols;
    const DecodeResult decoded = decode_settings(std::span<const std::uint8_t>(data, size));
    // The vector block reader of samples must give exactly what the per-sample reader gives.
    const DecodeResult reference =
        decode_settings_per_sample(std::span<const std::uint8_t>(data, size));
    if (decoded.index() != reference.index() ||
        (decoded.index() == 1 &&
         std::get<DecodeError>(decoded) != std::get<DecodeError>(reference))) {
        std::fprintf(stderr, "the block reader and the per-sample reader disagree\n");
        std::abort();
    }
    // Decoding with the samples validated first and filled in after must agree with both.
    const std::span<const std::uint8_t> input(data, size);
    DeferredResult deferred = decode_settings_deferred(input);
    if (auto* later = std::get_if<DeferredSettings>(&deferred)) {
        if (decoded.index() != 0) {
            std::fprintf(stderr, "the sample scan accepts what the decoder refuses\n");
            std::abort();
        }
        decode_deferred_samples(later->settings, input, later->runs);
        // Compared through their encodings: NaN fields are never equal to themselves.
        ByteBuffer mine;
        ByteBuffer theirs;
        encode_settings(later->settings, mine);
        encode_settings(std::get<Settings>(decoded), theirs);
        if (mine != theirs) {
            std::fprintf(stderr, "the deferred samples decode differently\n");
            std::abort();
        }
    } else if (decoded.index() != 1 ||
               std::get<DecodeError>(deferred) != std::get<DecodeError>(decoded)) {
        std::fprintf(stderr, "the deferred decoding refuses differently\n");
        std::abort();
    }
    if (const auto* error = std::get_if<DecodeError>(&decoded)) {
        if (error->offset > size) {
            std::fprintf(stderr, "error offset %zu beyond the %zu input bytes: %s\n", error->offset,
                         size, error->to_string().c_str());
            std::abort();
        }
        (void)error->to_string();
        return 0;
    }
    const Settings& settings = std::get<Settings>(decoded);
    ByteBuffer encoded;
    encode_settings(settings, encoded);
    ByteBuffer encoded_reference;
    encode_settings(std::get<Settings>(reference), encoded_reference);
    if (encoded != encoded_reference) {
        std::fprintf(stderr, "the block reader and the per-sample reader decode differently\n");
        std::abort();
    }
    if (encoded.size() != size || (size > 0 && std::memcmp(encoded.data(), data, size) != 0)) {
        std::fprintf(stderr, "accepted input of %zu bytes encodes again to %zu other bytes\n", size,
                     encoded.size());
        std::abort();
    }
    const std::string text = to_text(Protocol{settings});
    if (text.empty() || text.back() != '}') std::abort();
    for (const Finding& finding : check_settings(settings)) (void)finding.to_string();
    return 0;
}
