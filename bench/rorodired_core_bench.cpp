// rorodired's core with a large store: what one event costs (a notification
// taken, downloaded and deleted; a timer tick) with 100 and with 10,000
// stored messages. The two sizes are compared in the same run: an event
// should cost what it touches, not a pass over every stored message.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core.h"

namespace {

struct Clock final : rrd::Clock {
    int64_t mono = 1000;
    int64_t mono_ms() const override { return mono; }
    int64_t wall_s() const override { return 1700000000; }
};

struct NullSink final : rrd::Sink {
    bool save_record(const rrd::Message &, std::string *) override { return true; }
    bool save_blob(const rrd::Message &, rrd::Blob, int, const std::vector<uint8_t> &, std::string *) override {
        return true;
    }
    bool mark_confirmed(const rrd::Message &) override { return true; }
    void remove_blob(const rrd::Message &, rrd::Blob, int) override {}
    void remove_message(const rrd::Message &) override {}
};

// `stored` messages read and sent, as a phone keeps them.
std::vector<rrd::Message> store_of(int64_t stored) {
    std::vector<rrd::Message> v;
    for (int64_t i = 0; i < stored; ++i) {
        rrd::Message m;
        char id[17];
        std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(i + 1));
        m.id = id;
        m.dir = i % 2 ? rrd::Direction::In : rrd::Direction::Out;
        m.status = i % 2 ? rrd::Status::Read : rrd::Status::Sent;
        m.seq = i + 1;
        m.date = 1600000000 + i;
        v.push_back(std::move(m));
    }
    return v;
}

void BM_NotificationDownloadedAndDeleted(benchmark::State &state) {
    Clock clock;
    NullSink sink;
    rrd::Core core(rrd::CoreConfig{}, clock, sink);
    core.load(store_of(state.range(0)));
    const std::vector<uint8_t> ind(64, 0);
    uint64_t n = 0;
    for (auto _ : state) {
        rrd::Notification note;
        note.location = "http://127.0.0.1/m/" + std::to_string(++n);
        note.from = "+15550100001";
        rrd::Answer a = core.take_notification(note, ind, 200);
        const auto running = core.running();
        if (!a.ok() || !running) {
            state.SkipWithError("the notification did not start");
            break;
        }
        rrd::TransferResult r;
        r.end = rrd::TransferEnd::Ok;
        r.pdu.assign(100, 0);
        benchmark::DoNotOptimize(core.transfer_done(running->first, std::move(r)));
        rrd::Answer removed;
        benchmark::DoNotOptimize(core.remove(running->first, &removed));
        clock.mono += 10;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_NotificationDownloadedAndDeleted)->Arg(100)->Arg(10000);

void BM_Tick(benchmark::State &state) {
    Clock clock;
    NullSink sink;
    rrd::Core core(rrd::CoreConfig{}, clock, sink);
    core.load(store_of(state.range(0)));
    for (auto _ : state) {
        clock.mono += 10;
        benchmark::DoNotOptimize(core.tick());
    }
}
BENCHMARK(BM_Tick)->Arg(100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
