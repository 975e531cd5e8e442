// Saving a protocol: the extension check, the default signal, the encoding and the write.
#include <span>
#include <string>
#include <string_view>

#include "call.hpp"
#include "fileio.hpp"
#include "methods.hpp"
#include "protocols/encoding.hpp"
#include "protocols/failure.hpp"

namespace pyqelm {

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
        protocols::ByteBuffer encoded;
        protocols::encode_settings(p.settings(), encoded);
        if (auto error = fileio::replace_file(filepath, std::span(encoded))) {
            throw protocols::unwrap_failure(*error);
        }
    });

}  // namespace pyqelm
