// The built-in card application: a small ISO/IEC 7816-4 file system (laid out in sim/README.md)
// with SELECT, READ BINARY, UPDATE BINARY, GET RESPONSE, GET CHALLENGE, VERIFY, a slow echo and a
// listing of the current DF.
#pragma once

#include "sim/card.h"

#include <cstdint>
#include <optional>

namespace qkr::sim {

struct FileSystemConfig {
    std::uint64_t seed = 1;                        // GET CHALLENGE's generator
    kern::Ticks base_time = kern::milliseconds(2); // time every command takes
};

class FileSystemApp : public Application {
  public:
    explicit FileSystemApp(FileSystemConfig config = {});
    void reset() override;
    T0Case t0_case(std::span<const std::uint8_t> header) const override;
    void process(Bytes command, Done done) override;

    // The same as process(), for tests and callers that want the answer at once.
    Bytes execute(std::span<const std::uint8_t> command, kern::Ticks* took = nullptr);
    int pin_tries() const { return pin_tries_; }

  private:
    struct File {
        std::uint16_t fid;
        bool df;
        int parent; // index, -1 for the MF
        Bytes name; // DF name
        Bytes data;
        bool update_needs_pin;
    };
    struct Apdu {
        std::uint8_t cla, ins, p1, p2;
        Bytes data;
        std::optional<unsigned> ne;
    };
    Bytes answer(const Apdu& apdu, kern::Ticks* took);
    Bytes select(const Apdu& apdu);
    int child(int parent, std::uint16_t fid) const;
    int walk(int from, std::span<const std::uint8_t> path) const;
    int find_by_id(std::uint16_t fid) const;
    Bytes list_files(const Apdu& apdu);
    std::uint16_t binary_target(const Apdu& apdu, std::size_t& offset);
    Bytes read_binary(const Apdu& apdu);
    Bytes update_binary(const Apdu& apdu);
    Bytes verify(const Apdu& apdu);
    Bytes get_challenge(const Apdu& apdu);
    Bytes get_response(const Apdu& apdu);
    Bytes with_data(Bytes data, std::optional<unsigned> ne);
    Bytes fcp(int index) const;
    std::uint8_t next_random();

    FileSystemConfig config_;
    std::vector<File> files_;
    int current_df_ = 0;
    int current_ef_ = -1;
    bool pin_verified_ = false;
    int pin_tries_ = 3;
    std::uint64_t rng_;
    Bytes pending_;
};

} // namespace qkr::sim
