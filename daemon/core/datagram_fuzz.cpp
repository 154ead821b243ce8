// libFuzzer target: datagrams from the network into a Raft node. Every record goes
// through the UDP server's inbound filter exactly as a received datagram does (cut
// to a record, zero-filled past a short read), and what passes reaches a node that
// the input first puts in any state (follower, pre-candidate, candidate, leader) of
// a 3-node, 4-node or HA-pair cluster, as the monitor hands records in: its own
// control types are kept back, ticks come between records, a leader gets proposals.
// Node k sits at 127.0.0.k. A record comes from the address of the sender it
// claims (an unknown one for a sender that is not configured); with set-up bit 0x10
// the input picks each record's source among this node's, every peer's and a
// stranger's address, so forged senders reach the filter too.
//
// Input: a set-up byte, a log-length byte, then operations. Raw operations carry
// the datagram's bytes; shaped ones build a protocol record from a few bytes with
// terms and indexes relative to the node's own, so mutations reach the paths that
// only records of the current term open.
//
// After every step: the node never reports itself broken, its term and commit
// index never go back, it never applies past its commit index, never grants its
// vote to two candidates in one term, never leaves the follower state when it
// may not lead, and is never handed a record whose source is not its sender's.
#include "daemon/core/inbound_filter.hpp"
#include "daemon/core/raft_test_util.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace raft;
using namespace raft::testing;

namespace {

struct cluster_shape {
    uint32_t own;
    std::vector<uint32_t> peers;  // in the order the monitor adds them
};

const cluster_shape shapes[] = {
    {1, {2, 3}},
    {2, {1, 3, 4}},
    {1, {2, NODE_HA}},  // an HA pair: the other node and the disk endpoint
};

in_addr node_address(uint32_t id)
{
    return in_addr{htonl((127u << 24) | (id & 0xff))};
}

const in_addr stranger = in_addr{htonl((10u << 24) | (9u << 16) | (9u << 8) | 9u)};

[[noreturn]] void fail(const char* what, uint64_t before, uint64_t after)
{
    std::fprintf(stderr, "datagram_fuzz: %s (%llu -> %llu)\n", what, static_cast<unsigned long long>(before),
                 static_cast<unsigned long long>(after));
    std::abort();
}

struct harness {
    manual_clock clock;
    node_under_test node;
    transport::inbound_filter filter;
    const cluster_shape& shape;
    uint64_t term = 0;
    uint64_t commit = 0;
    bool leadership_disabled = false;
    bool forged_sources = false;  // the input picks each record's source address
    std::map<uint64_t, uint32_t> votes;  // term -> the candidate this node voted for

    harness(const cluster_shape& s, memory_log_t* log, uint8_t setup) : node(&clock, s.own, s.peers, log), shape(s)
    {
        filter.own_id = s.own;
        for (uint32_t p : s.peers)
            filter.add_peer(p, node_address(p));  // 67 does not fit: the HA endpoint never arrives by UDP
        leadership_disabled = (setup & 0x40) != 0;
        forged_sources = (setup & 0x10) != 0;
        node->set_leadership_disabled(leadership_disabled);
        node->set_self_fencing((setup & 0x80) != 0);
        node->raft_reset_election_timer();
        term = node->term();
    }

    void step(const raft_msg_t& m)
    {
        if (node.step(m) < 0)
            fail("the node reported a handler run in a state not its own", 0, 0);
        if (m.type == VOTE_REQUEST)
            for (const auto& r : node.sent(VOTE_RESPONSE, m.from))
                if (r.body.flag == 1 && !votes.emplace(r.term, m.from).second && votes[r.term] != m.from)
                    fail("two candidates granted a vote in one term", votes[r.term], m.from);
        check(&m);
    }

    bool pair() const { return shape.peers.size() == 2 && shape.peers[1] == NODE_HA; }

    // In a pair, entries committed on an old leader's disk only give way to the
    // entry of the peer leading a later term, and the commit index moves back
    // below it: only for an append from that peer whose entry the log now holds.
    bool withdrawn_for(const raft_msg_t* m)
    {
        if (!pair() || m == nullptr || m->type != APPEND_REQUEST || m->from == NODE_HA)
            return false;
        const log_entry_t& e = m->body.append.entry;
        return e.index != 0 && e.index <= commit && node.log->exists(e.index, e.term) &&
               node->commit() >= std::min(commit, e.index - 1);
    }

    void check(const raft_msg_t* m = nullptr)
    {
        if (node->term() < term)
            fail("term went back", term, node->term());
        if (node->commit() < commit && !withdrawn_for(m))
            fail("commit index went back", commit, node->commit());
        if (node->last_applied() > node->commit())
            fail("applied past the commit index", node->commit(), node->last_applied());
        if (node->state() == CANDIDATE && !votes.emplace(node->term(), shape.own).second &&
            votes[node->term()] != shape.own)
            fail("a candidate that voted for another node in its term", votes[node->term()], shape.own);
        if (leadership_disabled && node->state() != FOLLOWER)
            fail("a node that may not lead left the follower state", FOLLOWER, node->state());
        term = node->term();
        commit = node->commit();
    }

    // Where a record comes from: its claimed sender's address, or with forged
    // sources one the input picks.
    in_addr source_of(const raft_msg_t& msg, FuzzedDataProvider& in) const
    {
        if (!forged_sources)
            return msg.from < 64 && filter.peers.test(msg.from) ? node_address(msg.from) : stranger;
        const size_t pick = in.ConsumeIntegralInRange<size_t>(0, shape.peers.size() + 1);
        if (pick == shape.peers.size())
            return node_address(shape.own);
        if (pick > shape.peers.size())
            return stranger;
        return node_address(shape.peers[pick]);
    }

    // What the UDP server and the monitor do with `len` bytes received from `source`.
    void receive(const uint8_t* bytes, size_t len, in_addr source)
    {
        raft_msg_t msg;
        std::memset(&msg, 0, sizeof msg);
        len = std::min<size_t>(len, MSG_SIZE);  // a longer datagram is cut by the read
        if (len != 0)
            std::memcpy(&msg, bytes, len);
        const auto why = filter.check(msg, len, source);
        if (why != transport::drop_reason::none) {
            (void)filter.describe(why, msg, len);  // the server's warning text
            return;
        }
        if (source.s_addr != node_address(msg.from).s_addr)
            fail("a record reached the node from an address not its sender's", msg.from, ntohl(source.s_addr));
        if (msg.type == STOP_NODE || msg.type == STOP_CLUSTER || msg.type == STOP_THREAD || msg.type == EXIT)
            return;  // the monitor's own
        step(msg);
    }

    void tick(int64_t advance)
    {
        clock.advance(advance);
        step(make_msg(TICK, 0, 0, node->term()));
    }

    // The HA endpoint answers what the node sent it in its last step.
    void ha_answers()
    {
        std::vector<raft_msg_t> sent = node.sent(APPEND_REQUEST, NODE_HA);
        for (const auto& m : node.sent(PRE_VOTE_REQUEST, NODE_HA))
            sent.push_back(m);
        for (const auto& m : node.sent(VOTE_REQUEST, NODE_HA))
            sent.push_back(m);
        for (const auto& m : sent)
            step(ha_answer(m));
    }

    void propose(const std::string& value)
    {
        if (node->state() == LEADER)
            node.append(node->term(), value);
    }
};

uint64_t relative(FuzzedDataProvider& in, uint64_t base)
{
    const int delta = in.ConsumeIntegralInRange<int>(-3, 3);
    if (in.ConsumeBool())
        return in.ConsumeIntegral<uint64_t>();
    return delta < 0 && static_cast<uint64_t>(-delta) > base ? 0 : base + delta;
}

std::string short_text(FuzzedDataProvider& in)
{
    return in.ConsumeRandomLengthString(VALUE_SIZE + 8);
}

// A protocol record built from a few input bytes; it still has to pass the filter.
raft_msg_t shaped(FuzzedDataProvider& in, harness& h)
{
    static const uint32_t types[] = {PRE_VOTE_REQUEST, VOTE_REQUEST, VOTE_RESPONSE, APPEND_REQUEST,
                                     APPEND_RESPONSE, STOP_NODE, TICK, 0};
    uint32_t type = in.PickValueInArray(types);
    if (type == 0)
        type = in.ConsumeIntegral<uint32_t>();
    const auto& peers = h.shape.peers;
    uint32_t from = peers[in.ConsumeIntegralInRange<size_t>(0, peers.size() - 1)];
    if (in.ConsumeProbability<float>() < 0.05f)
        from = in.ConsumeIntegral<uint8_t>();
    log_t& log = *h.node.log;
    raft_msg_t m = make_msg(type, h.shape.own, from, relative(in, h.node->term() + (type == PRE_VOTE_REQUEST)));
    switch (type) {
    case PRE_VOTE_REQUEST:
    case VOTE_REQUEST:
        m.body.vote.last_index = relative(in, log.last_index());
        m.body.vote.last_term = relative(in, log.last_term());
        m.body.vote.incarnation = in.ConsumeIntegralInRange<uint64_t>(0, 3);
        break;
    case VOTE_RESPONSE:
        m.body.flag = in.ConsumeIntegral<uint8_t>() % 3;
        break;
    case APPEND_REQUEST: {
        auto& a = m.body.append;
        a.commit = relative(in, h.node->commit());
        a.prev_index = relative(in, log.last_index());
        a.prev_term = in.ConsumeBool() ? log.get(a.prev_index).term : relative(in, m.term);
        if (in.ConsumeBool()) {
            const uint64_t index = in.ConsumeBool() ? a.prev_index + 1 : relative(in, a.prev_index);
            const uint64_t entry_term = in.ConsumeBool() ? m.term : relative(in, a.prev_term);
            a.entry = log_entry_init(index, entry_term, short_text(in), short_text(in));
            if (in.ConsumeBool()) {  // texts without their terminating NUL
                std::memset(a.entry.key, 'k', KEY_SIZE);
                std::memset(a.entry.value, 'v', VALUE_SIZE);
            }
        }
        break;
    }
    case APPEND_RESPONSE:
        m.body.flag = in.ConsumeIntegral<uint8_t>() % 3;
        set_append_response_index(m, relative(in, log.last_index()));
        break;
    default:
        break;
    }
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t setup = in.ConsumeIntegral<uint8_t>();
    const uint8_t log_length = in.ConsumeIntegral<uint8_t>() % 8;

    // A log left by earlier terms, and the term saved with it.
    memory_log_t log;
    uint64_t t = 1;
    for (uint64_t i = 1; i <= log_length; ++i) {
        t += (setup >> (i % 4)) & 1;
        log.append(log_entry_init(i, t, "k", "v" + std::to_string(i)));
    }
    if (log_length != 0)
        log.save_state(t, 0, 0);
    const cluster_shape& shape = shapes[(setup & 3) % std::size(shapes)];
    harness run(shape, &log, setup);

    // The state to start from: 0 follower, 1 pre-candidate, 2 candidate, 3 leader.
    const int wanted = (setup >> 2) & 3;
    if (wanted >= 1) {
        run.tick(7 * SEC);
        run.ha_answers();
    }
    for (uint32_t p : shape.peers)
        if (wanted >= 2 && run.node->state() == PRE_CANDIDATE && p != NODE_HA)
            run.step(vote_response(p, shape.own, run.node->term(), true));
    run.ha_answers();
    for (uint32_t p : shape.peers)
        if (wanted >= 3 && run.node->state() == CANDIDATE && p != NODE_HA)
            run.step(vote_response(p, shape.own, run.node->term(), true));

    for (int ops = 0; ops < 400 && in.remaining_bytes() > 0; ++ops) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: {  // a raw datagram
            const auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, MSG_SIZE + 8));
            raft_msg_t claimed{};
            if (!bytes.empty())
                std::memcpy(&claimed, bytes.data(), std::min(bytes.size(), sizeof claimed));
            run.receive(bytes.data(), bytes.size(), run.source_of(claimed, in));
            break;
        }
        case 1:
        case 2: {  // a shaped protocol record
            raft_msg_t m = shaped(in, run);
            run.receive(reinterpret_cast<const uint8_t*>(&m), MSG_SIZE, run.source_of(m, in));
            break;
        }
        case 3:
            run.tick(in.ConsumeIntegralInRange<int64_t>(0, 300) * 25 * MS);
            break;
        case 4:
            run.ha_answers();
            break;
        case 5:
            run.propose(in.ConsumeRandomLengthString(16));
            break;
        }
    }
    return 0;
}
