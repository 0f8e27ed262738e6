#include "sim/codec.h"

namespace p8sim {

namespace {

bool NeedsDoubling(uint8_t b) {
    return b == kStart1 || b == kStart2;
}

}  // namespace

uint8_t FrameCrc(const uint8_t* block, size_t n) {
    uint8_t crc = 0;
    auto feed = [&crc](uint8_t b) {
        crc = CrcStep(crc, b);
        if (NeedsDoubling(b)) crc = CrcStep(crc, b);
    };
    feed(static_cast<uint8_t>(n >> 8));
    feed(static_cast<uint8_t>(n & 0xFF));
    for (size_t i = 0; i < n; ++i) feed(block[i]);
    return crc;
}

void EncodeFrame(const uint8_t* block, size_t n, std::vector<uint8_t>& out, int crc_override) {
    out.reserve(out.size() + 5 + 2 * (n + 3));
    out.push_back(kStart1);
    out.push_back(kStart2);
    auto put = [&out](uint8_t b) {
        out.push_back(b);
        if (NeedsDoubling(b)) out.push_back(b);
    };
    put(static_cast<uint8_t>(n >> 8));
    put(static_cast<uint8_t>(n & 0xFF));
    for (size_t i = 0; i < n; ++i) put(block[i]);
    put(crc_override >= 0 ? static_cast<uint8_t>(crc_override) : FrameCrc(block, n));
}

std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& block, int crc_override) {
    std::vector<uint8_t> out;
    EncodeFrame(block.data(), block.size(), out, crc_override);
    return out;
}

void Decoder::Feed(const uint8_t* p, size_t n, std::vector<DecodeEvent>& out) {
    for (size_t i = 0; i < n; ++i, ++pos_) Byte(p[i], out);
    // Report skipped bytes once per chunk rather than once per byte, so a
    // stream of noise makes a readable trace.
    ReportDropped(out);
}

size_t Decoder::FeedUntilEvent(const uint8_t* p, size_t n, std::vector<DecodeEvent>& out) {
    const size_t before = out.size();
    for (size_t i = 0; i < n; ++i, ++pos_) {
        Byte(p[i], out);
        for (size_t e = before; e < out.size(); ++e) {
            if (out[e].type != DecodeEvent::kDropped) {
                ++pos_;
                return i + 1;
            }
        }
    }
    ReportDropped(out);
    return n;
}

void Decoder::Flush(std::vector<DecodeEvent>& out) {
    if (MidFrame()) {
        DecodeEvent ev;
        ev.type = DecodeEvent::kIncomplete;
        ev.data = data_;
        ev.count = length_;
        Push(std::move(ev), pos_, out);
    } else if (state_ == kAfterF1) {
        ++dropped_;
        drop_end_ = pos_;
    }
    state_ = kHunt;
    copy_pending_ = false;
    ReportDropped(out);
}

void Decoder::ReportDropped(std::vector<DecodeEvent>& out) {
    if (dropped_ == 0) return;
    DecodeEvent ev;
    ev.type = DecodeEvent::kDropped;
    ev.count = dropped_;
    ev.begin = drop_end_ - dropped_;
    ev.end = drop_end_;
    out.push_back(std::move(ev));
    dropped_ = 0;
}

void Decoder::Push(DecodeEvent ev, uint64_t end, std::vector<DecodeEvent>& out) {
    ev.begin = frame_begin_;
    ev.end = end;
    out.push_back(std::move(ev));
}

void Decoder::Hunt(uint8_t b, std::vector<DecodeEvent>& out) {
    if (state_ == kHunt) {
        if (b == kStart1) {
            state_ = kAfterF1;
        } else {
            ++dropped_;
            drop_end_ = pos_ + 1;
        }
        return;
    }
    // After a lone F1: only 59 completes the pair; anything else, another F1
    // included, is dropped together with that F1.
    if (b == kStart2) {
        BeginFrame(out);
    } else {
        dropped_ += 2;
        drop_end_ = pos_ + 1;
        state_ = kHunt;
    }
}

void Decoder::BeginFrame(std::vector<DecodeEvent>& out) {
    ReportDropped(out);
    frame_begin_ = pos_ - 1;  // the F1 before the 59 being looked at
    state_ = kLenHi;
    copy_pending_ = false;
    crc_ = 0;
    length_ = 0;
    data_.clear();
}

void Decoder::Byte(uint8_t b, std::vector<DecodeEvent>& out) {
    if (state_ == kHunt || state_ == kAfterF1) {
        Hunt(b, out);
        return;
    }
    const bool is_crc = state_ == kCrc;
    if (copy_pending_) {
        copy_pending_ = false;
        if (b != first_copy_) {
            DecodeEvent ev;
            ev.type = DecodeEvent::kBadCopy;
            ev.got = b;
            ev.expected = first_copy_;
            const bool restart = first_copy_ == kStart1 && b == kStart2;
            Push(std::move(ev), restart ? pos_ - 1 : pos_, out);
            if (restart) {
                BeginFrame(out);
            } else {
                state_ = kHunt;
                Hunt(b, out);
            }
            return;
        }
        if (!is_crc) crc_ = CrcStep(crc_, b);
        Value(b, out);
        return;
    }
    if (!is_crc) crc_ = CrcStep(crc_, b);
    if (NeedsDoubling(b)) {
        copy_pending_ = true;
        first_copy_ = b;
        return;
    }
    Value(b, out);
}

void Decoder::Value(uint8_t v, std::vector<DecodeEvent>& out) {
    switch (state_) {
        case kLenHi:
            length_ = static_cast<size_t>(v) << 8;
            state_ = kLenLo;
            break;
        case kLenLo:
            length_ |= v;
            if (length_ > kMaxBlock) {
                // Dropped before any data byte is taken; the hunt goes on through
                // the rest of it, which (doubled as it is) holds no start pair.
                DecodeEvent ev;
                ev.type = DecodeEvent::kTooLong;
                ev.count = length_;
                Push(std::move(ev), pos_ + 1, out);
                state_ = kHunt;
            } else {
                state_ = length_ == 0 ? kCrc : kData;
            }
            break;
        case kData:
            data_.push_back(v);
            if (data_.size() == length_) state_ = kCrc;
            break;
        case kCrc: {
            DecodeEvent ev;
            ev.type = v == crc_ ? DecodeEvent::kFrame : DecodeEvent::kCrcError;
            ev.got = v;
            ev.expected = crc_;
            ev.data = std::move(data_);
            data_.clear();
            Push(std::move(ev), pos_ + 1, out);
            state_ = kHunt;
            break;
        }
        case kHunt:
        case kAfterF1:
            break;
    }
}

std::string HexBytes(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i) s.push_back(' ');
        s.push_back(kDigits[p[i] >> 4]);
        s.push_back(kDigits[p[i] & 0x0F]);
    }
    return s;
}

}  // namespace p8sim
