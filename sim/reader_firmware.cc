#include "sim/reader_impl.h"

namespace qkr::sim {

void ReaderSim::Impl::command(Bytes payload) {
    ++commands;
    if (observer)
        observer(payload);
    if (busy)
        return; // the firmware is still busy with the card and does not listen
    if (FaultsAccess::silent(faults))
        return;
    busy = true;
    if (FaultsAccess::nak(faults)) {
        send_nak();
        return;
    }
    dispatch(payload);
}

void ReaderSim::Impl::error(std::uint8_t why) {
    const Bytes r = {kReplyError, why, 0x00, 0x00};
    reply(r, config.processing);
}

void ReaderSim::Impl::simple(std::uint8_t code) {
    const Bytes r = {code, 0x00, 0x00, 0x00};
    reply(r, config.processing);
}

void ReaderSim::Impl::dispatch(const Bytes& p) {
    if (p.empty())
        return error(kErrUnknownCommand);
    const std::uint8_t cmd = p[0];
    if (cmd == kCmdGetType || cmd == kCmdGetStatus) {
        if (p.size() != 3)
            return error(kErrLength);
        if (cmd == kCmdGetType) {
            std::string id = config.identification;
            id.resize(12, ' ');
            std::string fw = config.firmware;
            fw.resize(4, '0');
            id += fw;
            Bytes data(id.begin(), id.end());
            Bytes r = with_length(kRspType, data);
            return reply(r, config.processing);
        }
        std::uint8_t status = 0x01; // slot 1 always holds a card
        if (slots[1].powered)
            status |= 0x02;
        if (slots[0].powered)
            status |= 0x04;
        if (slots[0].card)
            status |= 0x08;
        const Bytes data = {status};
        return reply(with_length(kRspStatus, data), config.processing);
    }
    if (p.size() < 3)
        return error(kErrLength);
    if (cmd == kCmdMemExchange || cmd == kCmdExchange) {
        if (p.size() < 5 || p.size() != 5 + (static_cast<std::size_t>(p[3]) << 8 | p[4]))
            return error(kErrLength);
    }
    if (cmd == kCmdMemExchange && p.size() > 5 && p[5] == kLinkSpeedCommand)
        return link_speed(std::span(p).subspan(5));
    if (p[1] > 1)
        return error(kErrSlot);
    Slot& s = slots[p[1]];
    switch (cmd) {
    case kCmdPowerOff:
        if (p.size() != 3)
            return error(kErrLength);
        power_off(s);
        return simple(kRspDone);
    case kCmdPowerOn:
    case kCmdWarmReset:
        if (p.size() != 3)
            return error(kErrLength);
        return reset(s, cmd == kCmdPowerOn || !s.powered);
    case kCmdSetParams:
        if (p.size() != 8)
            return error(kErrLength);
        return set_params(s, p);
    case kCmdExchange:
        return exchange(s, std::span(p).subspan(5));
    case kCmdMemExchange:
        return memory(s, std::span(p).subspan(5));
    default:
        return error(kErrUnknownCommand);
    }
}

void ReaderSim::Impl::power_off(Slot& s) {
    if (s.card)
        s.card->power_off();
    s.powered = false;
    end_exchange(s);
}

void ReaderSim::Impl::end_exchange(Slot& s) {
    cancel(s.ex.timeout);
    s.ex = Exchange{.id = s.ex.id + 1};
}

void ReaderSim::Impl::reset(Slot& s, bool cold) {
    end_exchange(s);
    if (!s.card) {
        s.powered = false;
        return simple(kRspNoCard);
    }
    const CardKind kind = s.card->kind();
    Bytes atr;
    if (kind == CardKind::Processor || version >= 4)
        atr = s.card->reset(cold);
    else
        s.card->power_off(); // this firmware does not know memory cards
    if (atr.empty()) {
        s.powered = false;
        return reply(with_length(kRspData, {}), config.processing + kAtrTimeout);
    }
    s.powered = true;
    const auto info = parse_atr(atr);
    const AtrInfo a = info.value_or(AtrInfo{});
    s.card_inverse = a.inverse;
    s.inverse = a.inverse;
    s.n = a.n;
    s.wi = a.wi == 0 ? 10 : a.wi;
    s.wt_byte = 0;
    s.bwi = a.bwi;
    s.cwi = a.cwi;
    s.crc = a.crc;
    s.wtx = 0;
    s.chain = 0;
    s.f = 372;
    s.d = 1;
    s.t1 = a.first_protocol == 1 || (!a.offers_t0 && a.offers_t1);
    s.pts_allowed = !a.specific;
    if (a.specific && a.specific_uses_ta1 && f_from_code(a.fi_code) && d_from_code(a.di_code)) {
        s.f = f_from_code(a.fi_code);
        s.d = d_from_code(a.di_code);
    }
    Bytes data;
    if (version >= 4)
        data.push_back(static_cast<std::uint8_t>(kind));
    append(data, std::span<const std::uint8_t>(atr.begin(), atr.end()));
    const kern::Ticks atr_time = kAtrDelay + ticks(atr.size() * 12 * etu_ticks(372, 1));
    reply(with_length(kRspData, data), config.processing + atr_time);
}

void ReaderSim::Impl::set_params(Slot& s, const Bytes& p) {
    if (!s.card || !s.powered)
        return simple(kRspNoCard);
    const std::uint8_t flags = p[3];
    if (flags & 0x04) {
        s.wtx = p[7]; // for the next block only
        return simple(kRspDone);
    }
    s.t1 = (flags & 0x10) != 0;
    s.crc = (flags & 0x01) != 0;
    s.inverse = (flags & 0x02) != 0;
    s.n = p[4];
    s.wt_byte = p[5];
    s.bwi = p[6] >> 4;
    s.cwi = p[6] & 0x0F;
    s.wtx = 0;
    s.pts_allowed = false;
    simple(kRspDone);
}

void ReaderSim::Impl::pts(Slot& s, std::span<const std::uint8_t> request) {
    const kern::Ticks ct = char_time(s, false);
    Bytes answer = s.card->pts(request);
    if (auto forced = FaultsAccess::take_pts(faults)) {
        if (*forced == PtsBehaviour::Refuse) {
            answer.clear();
        } else if (*forced == PtsBehaviour::Wrong && request.size() >= 3) {
            answer.assign(request.begin(), request.end());
            answer[2] ^= 0x01;
            answer.back() ^= 0x01;
        }
    }
    const kern::Ticks out = ct * static_cast<long>(request.size());
    if (answer.empty())
        return reply(with_length(kRspData, {}), config.processing + out + work_waiting_time(s));
    if (std::equal(answer.begin(), answer.end(), request.begin(), request.end())) {
        s.t1 = (request[1] & 0x0F) == 1;
        if ((request[1] & 0x10) && request.size() >= 4) {
            s.f = f_from_code(request[2] >> 4);
            s.d = d_from_code(request[2] & 0x0F);
        }
    }
    const kern::Ticks back = kern::milliseconds(1) + ct * static_cast<long>(answer.size());
    reply(with_length(kRspData, answer), config.processing + out + back);
}

void ReaderSim::Impl::memory(Slot& s, std::span<const std::uint8_t> body) {
    if (!s.card || !s.powered)
        return simple(kRspNoCard);
    Bytes answer = {0x02};
    if (s.card->kind() != CardKind::Processor)
        answer = s.card->memory_command(body);
    reply(with_length(kRspData, answer), config.processing + kern::milliseconds(1));
}

void ReaderSim::Impl::link_speed(std::span<const std::uint8_t> body) {
    const std::uint8_t code = body.size() >= 3 ? body[2] : 0;
    const bool refuse = FaultsAccess::take_refuse_speed(faults);
    if (refuse || code == 0 || code >= kSpeeds.size()) {
        const Bytes no = {0x01};
        return reply(with_length(kRspData, no), config.processing);
    }
    pending_baud = kSpeeds[code];
    const Bytes yes = {0x00};
    reply(with_length(kRspData, yes), config.processing);
}

} // namespace qkr::sim
