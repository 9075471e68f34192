// SPDX-License-Identifier: MIT
// The smallest STUN server a router in the sandbox needs: every Binding
// request is answered with the address and port it came from, as a server
// on the internet would see a router that has a public address.
//   stunresponder ADDRESS [PORT]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint16_t BindingRequest = 0x0001;
constexpr std::uint16_t BindingSuccess = 0x0101;
constexpr std::uint16_t MappedAddress = 0x0001;
constexpr std::uint16_t XorMappedAddress = 0x0020;
constexpr std::uint32_t MagicCookie = 0x2112A442;
constexpr std::size_t HeaderSize = 20;

void put16(unsigned char* at, std::uint16_t value)
{
    value = htons(value);
    std::memcpy(at, &value, 2);
}

void put32(unsigned char* at, std::uint32_t value)
{
    value = htonl(value);
    std::memcpy(at, &value, 4);
}

// One address attribute: type, length 8, family IPv4, port, address.
unsigned char* putAddress(unsigned char* at, std::uint16_t type, std::uint16_t port,
                          std::uint32_t address)
{
    put16(at, type);
    put16(at + 2, 8);
    at[4] = 0;
    at[5] = 1;
    put16(at + 6, port);
    put32(at + 8, address);
    return at + 12;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ADDRESS [PORT]\n", argv[0]);
        return 2;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(argc > 2 ? std::uint16_t(std::atoi(argv[2])) : std::uint16_t(3478));
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1) {
        std::fprintf(stderr, "%s: not an IPv4 address: %s\n", argv[0], argv[1]);
        return 2;
    }
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("stunresponder");
        return 1;
    }
    std::array<unsigned char, 1500> request{};
    for (;;) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = recvfrom(s, request.data(), request.size(), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromSize);
        std::uint16_t type = 0;
        std::uint32_t cookie = 0;
        if (size >= ssize_t(HeaderSize)) {
            std::memcpy(&type, request.data(), 2);
            std::memcpy(&cookie, request.data() + 4, 4);
        }
        if (ntohs(type) != BindingRequest)
            continue;

        std::array<unsigned char, HeaderSize + 24> answer{};
        put16(answer.data(), BindingSuccess);
        // The transaction: the classic cookie field and the 12-byte id, as sent.
        std::memcpy(answer.data() + 4, request.data() + 4, 16);
        const std::uint16_t port = ntohs(from.sin_port);
        const std::uint32_t address = ntohl(from.sin_addr.s_addr);
        unsigned char* end = putAddress(answer.data() + HeaderSize, MappedAddress, port, address);
        if (ntohl(cookie) == MagicCookie)
            end = putAddress(end, XorMappedAddress, std::uint16_t(port ^ (MagicCookie >> 16)),
                             address ^ MagicCookie);
        const auto length = std::size_t(end - answer.data());
        put16(answer.data() + 2, std::uint16_t(length - HeaderSize));
        sendto(s, answer.data(), length, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    }
}
