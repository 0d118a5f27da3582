// Writes sound archives byte by byte, for tests and the demo archive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace builder {

inline constexpr std::uint32_t header_size = 20;
inline constexpr std::uint32_t index_entry_size = 264;
inline constexpr std::uint32_t name_field_size = 256;

// Offset of the first byte after an index of `entries` entries.
inline constexpr std::uint32_t index_end(std::uint32_t entries) { return header_size + index_entry_size * entries; }

inline void put_le32(std::string& bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>(value >> shift & 0xFF));
}

// The little-endian 32-bit value at `at` in `bytes`.
inline std::uint32_t get_le32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

// One index entry as stored. `name_field` is padded with NULs to 256 bytes;
// a field of exactly 256 bytes has no NUL at all.
struct index_entry {
    std::uint32_t data_offset;  // the stored bits: 0x80000000 and up read as negative
    std::uint32_t data_size;
    std::string name_field;
};

inline std::string header(std::uint32_t entry_count, const std::string& signature = "SOUNDARCHIVE0001")
{
    std::string bytes = signature.substr(0, 16);
    bytes.resize(16, '\0');
    put_le32(bytes, entry_count);
    return bytes;
}

inline std::string index_bytes(const index_entry& entry)
{
    std::string bytes;
    put_le32(bytes, entry.data_offset);
    put_le32(bytes, entry.data_size);
    std::string name = entry.name_field.substr(0, name_field_size);
    name.resize(name_field_size, '\0');
    return bytes + name;
}

// Header, index and whatever data follows, laid out exactly as given.
inline std::string archive(std::uint32_t entry_count, const std::vector<index_entry>& entries,
                           const std::string& data = "")
{
    std::string bytes = header(entry_count);
    for (const index_entry& entry : entries)
        bytes += index_bytes(entry);
    return bytes + data;
}

struct sound {
    std::string name;
    std::string data;
};

// The ordinary archive: one entry per sound, data after the index in order.
inline std::string pack(const std::vector<sound>& sounds)
{
    std::vector<index_entry> entries;
    std::string data;
    auto offset = index_end(static_cast<std::uint32_t>(sounds.size()));
    for (const sound& s : sounds) {
        entries.push_back({offset + static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(s.data.size()),
                           s.name});
        data += s.data;
    }
    return archive(static_cast<std::uint32_t>(sounds.size()), entries, data);
}

}  // namespace builder
