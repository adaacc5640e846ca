#include "helper_core/image/platform/format_unit.hpp"
namespace quorvantelmic::detail {
bool sniffGif(std::span<const std::uint8_t>) { return false; }
bool sniffBmp(std::span<const std::uint8_t>) { return false; }
bool sniffWebp(std::span<const std::uint8_t>) { return false; }
bool sniffAvif(std::span<const std::uint8_t>) { return false; }
bool sniffHeic(std::span<const std::uint8_t>) { return false; }
bool sniffHeif(std::span<const std::uint8_t>) { return false; }
std::unique_ptr<FormatDecoder> createGifDecoder(const SharedBytes&) { return nullptr; }
std::unique_ptr<FormatDecoder> createBmpDecoder(const SharedBytes&) { return nullptr; }
std::unique_ptr<FormatDecoder> createWebpDecoder(const SharedBytes&) { return nullptr; }
std::unique_ptr<FormatDecoder> createAvifDecoder(const SharedBytes&) { return nullptr; }
std::unique_ptr<FormatDecoder> createHeifDecoder(const SharedBytes&) { return nullptr; }
std::optional<ImageBytes> encodeAvif(const EncodeRequest&) { return std::nullopt; }
std::optional<ImageBytes> encodeGif(const EncodeRequest&) { return std::nullopt; }
std::optional<ImageBytes> encodeBmp(const EncodeRequest&) { return std::nullopt; }
}
