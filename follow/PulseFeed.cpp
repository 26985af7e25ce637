#include "PulseFeed.h"

#include "dds/Realtime.h"

#include <pulse/pulseaudio.h>

#include <cmath>

namespace kalimor::follow {

namespace {

// How long the server may take to answer before we say it did not.
constexpr pa_usec_t answerUs = 3'000'000;

QString errorOf(pa_context* c) {
    return QString::fromUtf8(pa_strerror(pa_context_errno(c)));
}

} // namespace

// A connection to the sound server on a mainloop thread of its own, and
// the recording stream once there is one. Everything but the constructor
// and destructor runs with the loop locked or on the loop's thread.
struct PulseFeed::Stream {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;

    // What the loop's thread needs, set before the stream runs.
    PulseFeed* feed = nullptr;
    quint64 generation = 0;
    Deliver deliver = Deliver::OnFeedThread;
    Sink sink;
    double rate = 0;
    std::size_t blockFrames = 0;
    std::vector<float> pending;
    bool running = false;
    bool reported = false;
    bool realtimeAsked = false;

    ~Stream() {
        if (!loop) return;
        // Stopped first: no callback runs while the stream and context go.
        pa_threaded_mainloop_stop(loop);
        if (stream) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_threaded_mainloop_free(loop);
    }

    static void wake(void* userdata) {
        pa_threaded_mainloop_signal(static_cast<Stream*>(userdata)->loop, 0);
    }

    // Locked on success, unlocked on failure.
    bool connect(QString* why) {
        loop = pa_threaded_mainloop_new();
        if (loop) context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Kalimor");
        if (!context) {
            *why = QStringLiteral("libpulse could not set up a connection");
            return false;
        }
        pa_context_set_state_callback(
            context,
            [](pa_context* c, void* self) {
                auto* s = static_cast<Stream*>(self);
                if (s->running && !PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
                    s->fail(QStringLiteral("the sound server went away: %1").arg(errorOf(c)));
                wake(self);
            },
            this);
        // No autospawn: a server started from here would be one WSJT-X does
        // not play into.
        const bool asked =
            pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
        if (asked && pa_threaded_mainloop_start(loop) >= 0) {
            pa_threaded_mainloop_lock(loop);
            if (wait([this] { return pa_context_get_state(context) == PA_CONTEXT_READY; }))
                return true;
            pa_threaded_mainloop_unlock(loop);
        }
        *why = QStringLiteral("cannot reach the sound server (PulseAudio, or PipeWire's pulse "
                              "service): %1")
                   .arg(errorOf(context));
        return false;
    }

    // Waits, locked, until `done` holds, the connection fails or the server
    // is too slow to answer.
    template <typename Done> bool wait(Done done) {
        struct Late {
            Stream* self;
            bool late = false;
        } late{this};
        pa_time_event* timer = pa_context_rttime_new(
            context, pa_rtclock_now() + answerUs,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* l) {
                static_cast<Late*>(l)->late = true;
                wake(static_cast<Late*>(l)->self);
            },
            &late);
        while (!done() && !late.late && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) &&
               (!stream || PA_STREAM_IS_GOOD(pa_stream_get_state(stream))))
            pa_threaded_mainloop_wait(loop);
        if (timer) pa_threaded_mainloop_get_api(loop)->time_free(timer);
        return done();
    }

    // The server's sources, locked; false when it did not answer.
    bool list(QList<Source>* sources, QString* defaultName) {
        struct Listing {
            Stream* self;
            QList<Source>* sources;
            QString* defaultName;
            int answers = 0;
        } listing{this, sources, defaultName};
        pa_operation* server = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* l) {
                auto* listing = static_cast<Listing*>(l);
                if (info) *listing->defaultName = QString::fromUtf8(info->default_source_name);
                ++listing->answers;
                wake(listing->self);
            },
            &listing);
        pa_operation* all = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int last, void* l) {
                auto* listing = static_cast<Listing*>(l);
                if (last) {
                    ++listing->answers;
                    wake(listing->self);
                    return;
                }
                listing->sources->append(
                    {QString::fromUtf8(info->name), QString::fromUtf8(info->description),
                     info->monitor_of_sink != PA_INVALID_INDEX, double(info->sample_spec.rate)});
            },
            &listing);
        const bool answered = server && all && wait([&] { return listing.answers == 2; });
        // Cancelled, so a late answer finds nobody to write to.
        for (pa_operation* op : {server, all}) {
            if (!op) continue;
            pa_operation_cancel(op);
            pa_operation_unref(op);
        }
        return answered;
    }

    // On the loop's thread.
    void fail(const QString& why) {
        if (reported) return;
        reported = true;
        QMetaObject::invokeMethod(
            feed, [f = feed, why, g = generation] { f->report(why, g); }, Qt::QueuedConnection);
    }

    static void readable(pa_stream* s, std::size_t, void* self) {
        static_cast<Stream*>(self)->read(s);
    }

    void read(pa_stream* s) {
        // The carrier is as late as this thread: it asks what a sound
        // card's thread would.
        if (!realtimeAsked) {
            realtimeAsked = true;
            dds::makeThreadRealtime();
        }
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            const auto* samples = static_cast<const float*>(data);
            const std::size_t count = bytes / sizeof(float);
            // A hole (no data) is silence of its length.
            if (samples)
                pending.insert(pending.end(), samples, samples + count);
            else
                pending.insert(pending.end(), count, 0.0f);
            pa_stream_drop(s);
        }
        std::size_t used = 0;
        for (; pending.size() - used >= blockFrames; used += blockFrames) {
            std::span<const float> block(pending.data() + used, blockFrames);
            if (deliver == Deliver::OnAudioThread) {
                sink(block, rate);
                continue;
            }
            QMetaObject::invokeMethod(
                feed,
                [f = feed, b = std::vector<float>(block.begin(), block.end()),
                 g = generation]() mutable { f->handOn(std::move(b), g); },
                Qt::QueuedConnection);
        }
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(used));
    }
};

PulseFeed::PulseFeed(QObject* parent) : QObject(parent) {}

PulseFeed::~PulseFeed() {
    stop();
}

QList<PulseFeed::Source> PulseFeed::listSources(QString* why) {
    QString ignored;
    if (!why) why = &ignored;
    Stream server;
    if (!server.connect(why)) return {};
    QList<Source> found;
    QString defaultName;
    if (!server.list(&found, &defaultName)) {
        *why = QStringLiteral("the sound server did not list its sources");
        found.clear();
    }
    pa_threaded_mainloop_unlock(server.loop);
    return found;
}

QStringList PulseFeed::sources() {
    QStringList names;
    for (const Source& s : listSources()) names << s.name;
    return names;
}

bool PulseFeed::start(const QString& source, Sink sink, QString* why, Deliver deliver) {
    stop();
    auto s = std::make_unique<Stream>();
    if (!s->connect(why)) return false;
    const auto unlockAnd = [loop = s->loop](bool ok) {
        pa_threaded_mainloop_unlock(loop);
        return ok;
    };

    QList<Source> known;
    QString defaultName;
    if (!s->list(&known, &defaultName)) {
        *why = QStringLiteral("the sound server did not list its sources");
        return unlockAnd(false);
    }
    const Source* chosen = nullptr;
    for (const Source& k : known)
        if (k.name == (source.isEmpty() ? defaultName : source)) chosen = &k;
    for (const Source& k : known)
        if (!chosen && !source.isEmpty() && k.description == source) chosen = &k;
    if (!chosen) {
        QStringList names;
        for (const Source& k : known) names << k.name;
        *why = source.isEmpty()
                   ? QStringLiteral("the sound server has no default input")
                   : QStringLiteral("no audio source named %1 (there are: %2)")
                         .arg(source, names.isEmpty() ? QStringLiteral("none") : names.join(u", "));
        return unlockAnd(false);
    }

    // Mono float at the source's rate: the server mixes the channels down
    // and has nothing to resample.
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, std::uint32_t(chosen->rate), 1};
    s->stream = pa_stream_new(s->context, "tone follower", &format, nullptr);
    if (!s->stream) {
        *why = QStringLiteral("%1 could not be opened: %2").arg(chosen->name, errorOf(s->context));
        return unlockAnd(false);
    }
    s->feed = this;
    s->generation = ++m_generation;
    s->deliver = deliver;
    s->sink = std::move(sink);
    s->rate = chosen->rate;
    s->blockFrames = std::max<std::size_t>(1, std::size_t(std::lround(chosen->rate * 0.005)));
    pa_stream_set_state_callback(
        s->stream,
        [](pa_stream* st, void* self) {
            auto* me = static_cast<Stream*>(self);
            if (me->running && !PA_STREAM_IS_GOOD(pa_stream_get_state(st)))
                me->fail(QStringLiteral("the audio source went away: %1")
                             .arg(errorOf(pa_stream_get_context(st))));
            Stream::wake(self);
        },
        s.get());
    pa_stream_set_read_callback(s->stream, &Stream::readable, s.get());
    // Fragments of one block: the tone must reach the board within
    // milliseconds, not the 2 s a recorder's default buffers hold. Not moved
    // when the source goes: the follower stops rather than transmit what
    // the next microphone hears.
    const std::uint32_t blockBytes = std::uint32_t(s->blockFrames * sizeof(float));
    const pa_buffer_attr buffer{std::uint32_t(-1), std::uint32_t(-1), std::uint32_t(-1),
                                std::uint32_t(-1), blockBytes};
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    const QByteArray name = chosen->name.toUtf8();
    if (pa_stream_connect_record(s->stream, name.constData(), &buffer, flags) < 0 ||
        !s->wait([&s] { return pa_stream_get_state(s->stream) == PA_STREAM_READY; })) {
        *why = QStringLiteral("%1 could not be opened: %2").arg(chosen->name, errorOf(s->context));
        return unlockAnd(false);
    }
    s->running = true;
    m_rate = chosen->rate;
    m_stream = std::move(s);
    return unlockAnd(true);
}

void PulseFeed::stop() {
    ++m_generation; // blocks and news still queued are for nobody
    m_stream.reset();
}

void PulseFeed::handOn(std::vector<float> block, quint64 generation) {
    // The stream's sink: a block still queued after stop() is for nobody.
    if (generation == m_generation && m_stream)
        m_stream->sink(std::span<const float>(block.data(), block.size()), m_rate);
}

void PulseFeed::report(const QString& why, quint64 generation) {
    if (generation == m_generation) Q_EMIT failed(why);
}

} // namespace kalimor::follow
