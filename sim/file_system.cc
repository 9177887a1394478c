#include "sim/file_system.h"

#include <algorithm>
#include <string_view>

namespace qkr::sim {

namespace {

Bytes sw(std::uint16_t word) {
    return {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFF)};
}

Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

constexpr std::uint8_t kPin[] = {'1', '2', '3', '4'};

} // namespace

FileSystemApp::FileSystemApp(FileSystemConfig config) : config_(config), rng_(config.seed) {
    files_.push_back({0x3F00, true, -1, {}, {}, false});
    files_.push_back({0x2F00, false, 0, {}, ascii("QKR SIM CARD 0001 EF2F00 CONTENT"), false});
    files_.push_back(
        {0x5000, true, 0, {0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01}, {}, false});
    Bytes counting(512);
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<std::uint8_t>(i);
    files_.push_back({0x5001, false, 2, {}, counting, false});
    files_.push_back({0x5002, false, 2, {}, Bytes(64, 0x00), true});
    files_.push_back({0x5003, false, 2, {}, Bytes(128, 0x00), false});
}

void FileSystemApp::reset() {
    current_df_ = 0;
    current_ef_ = -1;
    pin_verified_ = false;
    pending_.clear();
}

Application::T0Case FileSystemApp::t0_case(std::span<const std::uint8_t> header) const {
    if (header.size() < 5)
        return T0Case::None;
    const std::uint8_t cla = header[0], ins = header[1], p2 = header[3];
    const bool p3 = header[4] != 0;
    if (cla == 0x80 && ins == 0x10)
        return p3 ? T0Case::InOut : T0Case::None;
    switch (ins) {
    case 0xA4: // SELECT: the FCP comes back unless P2 says not to
        // A file identifier is two bytes; by identifier with any other P3 there is no data, and
        // the MF is selected (P3 is then Le, as OpenSC sends it).
        if (header[2] == 0x00 && header[4] != 2)
            return p2 == 0x0C ? T0Case::None : T0Case::Out;
        return p2 == 0x0C ? T0Case::In : T0Case::InOut;
    case 0xD6: // UPDATE BINARY
        return T0Case::In;
    case 0x20: // VERIFY: without data it asks for the tries left
        return p3 ? T0Case::In : T0Case::None;
    default:
        return T0Case::Out;
    }
}

void FileSystemApp::process(Bytes command, Done done) {
    kern::Ticks took = 0;
    Bytes response = execute(command, &took);
    done(std::move(response), took);
}

Bytes FileSystemApp::execute(std::span<const std::uint8_t> command, kern::Ticks* took) {
    kern::Ticks local = 0;
    if (took == nullptr)
        took = &local;
    *took = config_.base_time;
    if (command.size() < 4)
        return sw(0x6700);
    Apdu apdu{command[0], command[1], command[2], command[3], {}, std::nullopt};
    const std::size_t n = command.size();
    if (n == 5) {
        apdu.ne = command[4] == 0 ? 256u : command[4];
    } else if (n > 5) {
        const std::size_t lc = command[4];
        if (lc == 0)
            return sw(0x6700); // extended lengths are not supported
        if (n == 5 + lc) {
            apdu.data.assign(command.begin() + 5, command.end());
        } else if (n == 6 + lc) {
            apdu.data.assign(command.begin() + 5, command.end() - 1);
            apdu.ne = command[n - 1] == 0 ? 256u : command[n - 1];
        } else {
            return sw(0x6700);
        }
    }
    return answer(apdu, took);
}

Bytes FileSystemApp::answer(const Apdu& apdu, kern::Ticks* took) {
    if (apdu.ins != 0xC0)
        pending_.clear();
    if (apdu.cla == 0x80 && apdu.ins == 0xAA)
        return list_files(apdu);
    if (apdu.cla == 0x80) {
        if (apdu.ins != 0x10)
            return sw(0x6D00);
        // Slow echo: P1 tenths of a second of work, then the data back.
        *took += kern::milliseconds(100) * apdu.p1;
        return with_data(apdu.data, apdu.ne);
    }
    if (apdu.cla != 0x00)
        return sw(0x6E00);
    switch (apdu.ins) {
    case 0xA4:
        return select(apdu);
    case 0xB0:
        return read_binary(apdu);
    case 0xD6:
        return update_binary(apdu);
    case 0x20:
        return verify(apdu);
    case 0x84:
        return get_challenge(apdu);
    case 0xC0:
        return get_response(apdu);
    default:
        return sw(0x6D00);
    }
}

// Data for a command with expected length `ne`; what does not fit waits for GET RESPONSE.
Bytes FileSystemApp::with_data(Bytes data, std::optional<unsigned> ne) {
    if (!ne || data.empty())
        return sw(0x9000);
    if (data.size() <= *ne) {
        data.insert(data.end(), {0x90, 0x00});
        return data;
    }
    pending_.assign(data.begin() + *ne, data.end());
    data.resize(*ne);
    const std::size_t rest = pending_.size();
    data.push_back(0x61);
    data.push_back(rest >= 256 ? 0x00 : static_cast<std::uint8_t>(rest));
    return data;
}

Bytes FileSystemApp::fcp(int index) const {
    const File& f = files_[static_cast<std::size_t>(index)];
    Bytes body = {0x82,
                  0x01,
                  static_cast<std::uint8_t>(f.df ? 0x38 : 0x01),
                  0x83,
                  0x02,
                  static_cast<std::uint8_t>(f.fid >> 8),
                  static_cast<std::uint8_t>(f.fid)};
    if (!f.df) {
        // One byte at a time: GCC 12 at -O3 takes an initializer-list insert here for an
        // out-of-bounds copy (-Warray-bounds).
        body.push_back(0x80);
        body.push_back(0x02);
        body.push_back(static_cast<std::uint8_t>(f.data.size() >> 8));
        body.push_back(static_cast<std::uint8_t>(f.data.size()));
    }
    if (!f.name.empty()) {
        body.push_back(0x84);
        body.push_back(static_cast<std::uint8_t>(f.name.size()));
        append(body, std::span<const std::uint8_t>(f.name.begin(), f.name.end()));
    }
    Bytes out = {0x62, static_cast<std::uint8_t>(body.size())};
    append(out, std::span<const std::uint8_t>(body.begin(), body.end()));
    return out;
}

int FileSystemApp::child(int parent, std::uint16_t fid) const {
    for (std::size_t i = 0; i < files_.size(); ++i)
        if (files_[i].parent == parent && files_[i].fid == fid)
            return static_cast<int>(i);
    return -1;
}

// A path is file identifiers, each a child of the one before, from `from` on; only the last may
// be an EF.
int FileSystemApp::walk(int from, std::span<const std::uint8_t> path) const {
    int at = from;
    for (std::size_t i = 0; i + 1 < path.size(); i += 2) {
        if (at < 0 || !files_[static_cast<std::size_t>(at)].df)
            return -1;
        at = child(at, static_cast<std::uint16_t>(path[i] << 8 | path[i + 1]));
    }
    return at;
}

int FileSystemApp::find_by_id(std::uint16_t fid) const {
    if (fid == 0x3F00)
        return 0;
    int found = child(current_df_, fid);
    if (found < 0)
        found = child(0, fid);
    // Identifiers are unique on this card: anything else is found wherever it is.
    for (std::size_t i = 0; found < 0 && i < files_.size(); ++i)
        if (files_[i].fid == fid)
            found = static_cast<int>(i);
    return found;
}

Bytes FileSystemApp::select(const Apdu& apdu) {
    // P2: 00 the FCI (here the FCP template, the FCI tag being optional), 04 the FCP, 0C nothing.
    if (apdu.p2 != 0x00 && apdu.p2 != 0x04 && apdu.p2 != 0x0C)
        return sw(0x6A86);
    const Bytes& d = apdu.data;
    const bool has_fid = d.size() == 2;
    const auto fid = has_fid ? static_cast<std::uint16_t>(d[0] << 8 | d[1]) : std::uint16_t{0};
    int found = -1;
    switch (apdu.p1) {
    case 0x00: // by identifier; no data selects the MF
        if (!d.empty() && !has_fid)
            return sw(0x6700);
        found = d.empty() ? 0 : find_by_id(fid);
        break;
    case 0x01: // a DF under the current DF
    case 0x02: // an EF under the current DF
        if (!has_fid)
            return sw(0x6700);
        found = child(current_df_, fid);
        if (found >= 0 && files_[static_cast<std::size_t>(found)].df != (apdu.p1 == 0x01))
            found = -1;
        break;
    case 0x03: // the parent of the current DF
        if (!d.empty())
            return sw(0x6700);
        found = files_[static_cast<std::size_t>(current_df_)].parent;
        break;
    case 0x04: // by DF name, whole or its beginning
        if (d.empty() || d.size() > 16)
            return sw(0x6700);
        for (std::size_t i = 0; found < 0 && i < files_.size(); ++i)
            if (files_[i].df && files_[i].name.size() >= d.size() &&
                std::equal(d.begin(), d.end(), files_[i].name.begin()))
                found = static_cast<int>(i);
        break;
    case 0x08: // path from the MF, without its identifier (tolerated all the same)
    case 0x09: // path from the current DF
    {
        if (d.empty() || d.size() % 2 != 0)
            return sw(0x6700);
        std::span<const std::uint8_t> path(d.begin(), d.end());
        if (apdu.p1 == 0x08 && path[0] == 0x3F && path[1] == 0x00)
            path = path.subspan(2);
        found = walk(apdu.p1 == 0x08 ? 0 : current_df_, path);
        break;
    }
    default:
        return sw(0x6A86);
    }
    if (found < 0)
        return sw(0x6A82);
    const File& f = files_[static_cast<std::size_t>(found)];
    if (f.df) {
        current_df_ = found;
        current_ef_ = -1;
    } else {
        current_df_ = f.parent;
        current_ef_ = found;
    }
    if (apdu.p2 == 0x0C)
        return sw(0x9000);
    return with_data(fcp(found), apdu.ne);
}

// ISO/IEC 7816-4 has no command that lists a DF; this one is the card's own, in the form
// OpenSC's tcos card driver asks for (so `opensc-explorer -c tcos` can `ls`): the identifiers of
// the current DF's children, P1 01 its DFs, 02 its EFs, 00 both.
Bytes FileSystemApp::list_files(const Apdu& apdu) {
    if (!apdu.ne || !apdu.data.empty())
        return sw(0x6700);
    if (apdu.p1 > 0x02 || apdu.p2 != 0x00)
        return sw(0x6A86);
    Bytes list;
    for (const File& f : files_) {
        if (f.parent != current_df_ || (apdu.p1 == 0x01 && !f.df) || (apdu.p1 == 0x02 && f.df))
            continue;
        list.push_back(static_cast<std::uint8_t>(f.fid >> 8));
        list.push_back(static_cast<std::uint8_t>(f.fid));
    }
    return with_data(std::move(list), apdu.ne);
}

// P1 b8 = 0: the current EF at the 15-bit offset P1-P2. b8 = 1: the EF of the current DF whose
// short identifier is in b5-b1 (none of these files has one of its own, so it is the five low
// bits of its file identifier), which becomes the current EF, at offset P2. 0 when found.
std::uint16_t FileSystemApp::binary_target(const Apdu& apdu, std::size_t& offset) {
    if (apdu.p1 & 0x80) {
        const unsigned sfi = apdu.p1 & 0x1F;
        if ((apdu.p1 & 0x60) != 0 || sfi == 0)
            return 0x6A86;
        int found = -1;
        for (std::size_t i = 0; found < 0 && i < files_.size(); ++i)
            if (files_[i].parent == current_df_ && !files_[i].df && (files_[i].fid & 0x1F) == sfi)
                found = static_cast<int>(i);
        if (found < 0)
            return 0x6A82;
        current_ef_ = found;
        offset = apdu.p2;
        return 0;
    }
    if (current_ef_ < 0)
        return 0x6986;
    offset = static_cast<std::size_t>(apdu.p1) << 8 | apdu.p2;
    return 0;
}

Bytes FileSystemApp::read_binary(const Apdu& apdu) {
    if (!apdu.ne || !apdu.data.empty())
        return sw(0x6700);
    std::size_t offset = 0;
    if (const std::uint16_t error = binary_target(apdu, offset))
        return sw(error);
    const Bytes& data = files_[static_cast<std::size_t>(current_ef_)].data;
    if (offset >= data.size())
        return sw(0x6B00);
    const std::size_t avail = data.size() - offset;
    const std::size_t count = std::min<std::size_t>(avail, *apdu.ne);
    Bytes out(data.begin() + static_cast<long>(offset),
              data.begin() + static_cast<long>(offset + count));
    // Fewer bytes than asked for: end of file reached first.
    const Bytes status = sw(count < *apdu.ne ? 0x6282 : 0x9000);
    append(out, std::span<const std::uint8_t>(status.begin(), status.end()));
    return out;
}

Bytes FileSystemApp::update_binary(const Apdu& apdu) {
    if (apdu.data.empty() || apdu.ne)
        return sw(0x6700);
    std::size_t offset = 0;
    if (const std::uint16_t error = binary_target(apdu, offset))
        return sw(error);
    File& f = files_[static_cast<std::size_t>(current_ef_)];
    if (f.update_needs_pin && !pin_verified_)
        return sw(0x6982);
    if (offset >= f.data.size())
        return sw(0x6B00);
    if (offset + apdu.data.size() > f.data.size())
        return sw(0x6700);
    std::copy(apdu.data.begin(), apdu.data.end(), f.data.begin() + static_cast<long>(offset));
    return sw(0x9000);
}

Bytes FileSystemApp::verify(const Apdu& apdu) {
    if (apdu.p1 != 0x00)
        return sw(0x6A86);
    if (apdu.p2 != 0x01)
        return sw(0x6A88);
    if (apdu.ne)
        return sw(0x6700);
    if (pin_tries_ == 0)
        return sw(0x6983);
    if (apdu.data.empty())
        return pin_verified_ ? sw(0x9000) : sw(static_cast<std::uint16_t>(0x63C0 | pin_tries_));
    if (std::equal(apdu.data.begin(), apdu.data.end(), std::begin(kPin), std::end(kPin))) {
        pin_tries_ = 3;
        pin_verified_ = true;
        return sw(0x9000);
    }
    --pin_tries_;
    pin_verified_ = false;
    return sw(static_cast<std::uint16_t>(0x63C0 | pin_tries_));
}

std::uint8_t FileSystemApp::next_random() {
    // splitmix64: the same seed gives the same challenges on every run.
    rng_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint8_t>(z ^ (z >> 31));
}

Bytes FileSystemApp::get_challenge(const Apdu& apdu) {
    if (!apdu.ne || !apdu.data.empty())
        return sw(0x6700);
    if (apdu.p1 != 0 || apdu.p2 != 0)
        return sw(0x6A86);
    Bytes out;
    for (unsigned i = 0; i < *apdu.ne; ++i)
        out.push_back(next_random());
    out.insert(out.end(), {0x90, 0x00});
    return out;
}

Bytes FileSystemApp::get_response(const Apdu& apdu) {
    if (!apdu.ne || !apdu.data.empty())
        return sw(0x6700);
    if (pending_.empty())
        return sw(0x6985);
    Bytes data = std::move(pending_);
    pending_.clear();
    return with_data(std::move(data), apdu.ne);
}

} // namespace qkr::sim
