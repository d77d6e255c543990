#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

class QByteArray;

// A non-owning reference to whatever should receive each framed packet: a
// lambda, a functor or a plain function. It costs one indirect call per
// packet and never allocates. It only points at the callable, so pass the
// callable straight to feed(); a PacketSink kept from a temporary dangles.
class PacketSink
{
public:
    template<class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, PacketSink>>>
    PacketSink(F &&f) noexcept // NOLINT: implicit on purpose, so feed() takes a lambda
        : m_object(const_cast<void *>(static_cast<const void *>(std::addressof(f))))
        , m_call([](void *object, const std::uint8_t *packet) {
            (*static_cast<std::remove_reference_t<F> *>(object))(packet);
        })
    {
    }

    void operator()(const std::uint8_t *packet) const { m_call(m_object, packet); }

private:
    void *m_object;
    void (*m_call)(void *, const std::uint8_t *);
};

// Cuts meter packets out of the serial byte stream, whatever the size of the
// reads the serial driver hands over.
//
// Every 16 bytes of the stream that begin with 0xAA 0xAA and end with
// 0x55 0x55 are a packet, wherever they lie. Each position of the stream is
// tried once as a start, so after garbage or a wrong end mark the search slides
// on by one byte, and a packet that follows any garbage is always found. Nothing
// is removed from the data, so level bytes such as 0x0D 0x0A pass untouched.
// The packets found do not depend on how the stream was cut into reads.
//
// Between feeds at most 15 bytes are kept: the unfinished tail that could
// still begin a packet. Bytes that can no longer begin one are let go.
class PacketFramer
{
public:
    static constexpr int kMaxPending = 15;

    // Hands every packet completed by these bytes to sink, in stream order, as
    // a pointer to its 16 bytes, valid during the call only. Returns how many.
    // The sink must not feed or reset this framer.
    int feed(const std::uint8_t *data, std::size_t size, PacketSink sink);
    int feed(const QByteArray &chunk, PacketSink sink);

    // Bytes carried over to the next feed, 0 .. 15.
    int pending() const { return m_pending; }

    // Forgets the carried bytes.
    void reset()
    {
        m_skipped += std::uint64_t(m_pending - m_usedPending);
        m_pending = 0;
        m_usedPending = 0;
    }

    // Bytes let go without being part of any packet handed out (line noise, a packet cut
    // by a reopen) since the framer was made: what resyncing cost.
    std::uint64_t skippedBytes() const { return m_skipped; }

private:
    std::array<std::uint8_t, kMaxPending> m_carry{};
    int m_pending = 0;
    int m_usedPending = 0;  // the first carried bytes, which a packet used
    std::uint64_t m_skipped = 0;
};
