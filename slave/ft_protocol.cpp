// Encoding and decoding of the file transfer packets and of MS-DOS stamps.
#include "slave/ft_protocol.h"

#include <algorithm>
#include <cstring>

namespace qv::ft {

std::size_t Request::Encode(uint8_t* out, std::size_t data_len) const {
    data_len = std::min(data_len, kBlockSize);
    Put16(out, command);
    Put16(out + 2, sequence);
    Put16(out + 4, param1);
    Put16(out + 6, param2);
    std::memcpy(out + kRequestHeader, data.data(), data_len);
    return kRequestHeader + data_len;
}

void Request::Decode(const uint8_t* in, std::size_t len) {
    len = std::min(len, kRequestMax);
    uint8_t header[kRequestHeader];
    Encode(header, 0);  // the fields a short packet does not reach keep their values
    std::memcpy(header, in, std::min(len, kRequestHeader));
    command = Get16(header);
    sequence = Get16(header + 2);
    param1 = Get16(header + 4);
    param2 = Get16(header + 6);
    if (len > kRequestHeader) std::memcpy(data.data(), in + kRequestHeader, len - kRequestHeader);
}

void Request::SetPath(const std::string& path) {
    std::size_t n = std::min(path.size(), kBlockSize - 1);
    std::memcpy(data.data(), path.data(), n);
    data[n] = 0;
}

std::size_t Reply::Encode(uint8_t* out) const {
    uint16_t n = std::min<uint16_t>(length, static_cast<uint16_t>(kBlockSize));
    Put16(out, command);
    Put16(out + 2, status);
    Put16(out + 4, sequence);
    Put16(out + 6, file_time);
    Put16(out + 8, file_date);
    Put16(out + 10, last);
    Put16(out + 12, n);
    std::memcpy(out + kReplyHeader, data.data(), n);
    return kReplyHeader + n;
}

bool Reply::Decode(const uint8_t* in, std::size_t len) {
    if (len < kReplyHeader) return false;
    command = Get16(in);
    status = Get16(in + 2);
    sequence = Get16(in + 4);
    file_time = Get16(in + 6);
    file_date = Get16(in + 8);
    last = Get16(in + 10);
    length = Get16(in + 12);
    if (length > kBlockSize || kReplyHeader + length != len) return false;
    std::memcpy(data.data(), in + kReplyHeader, length);
    return true;
}

DosStamp DecodeDos(uint16_t date, uint16_t time) {
    return DosStamp{1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F,
                    time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2};
}

bool EncodeDos(const DosStamp& s, uint16_t* date, uint16_t* time) {
    *date = *time = 0;
    if (s.year < 1980 || s.year > 2107 || s.month < 1 || s.month > 12 || s.day < 1 || s.day > 31 ||
        s.hour < 0 || s.hour > 23 || s.minute < 0 || s.minute > 59 || s.second < 0 || s.second > 59)
        return false;
    *date = static_cast<uint16_t>((s.year - 1980) << 9 | s.month << 5 | s.day);
    *time = static_cast<uint16_t>(s.hour << 11 | s.minute << 5 | s.second / 2);
    return true;
}

bool ValidDos(uint16_t date, uint16_t time) {
    const DosStamp s = DecodeDos(date, time);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (s.month < 1 || s.month > 12 || s.day < 1 || s.hour > 23 || s.minute > 59 || s.second > 59) return false;
    const bool leap = s.year % 4 == 0 && (s.year % 100 != 0 || s.year % 400 == 0);
    return s.day <= kDays[s.month - 1] + (s.month == 2 && leap ? 1 : 0);
}

}  // namespace qv::ft
