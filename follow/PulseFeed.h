#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kalimor::follow {

// Audio from the sound server (PulseAudio, or PipeWire through its
// PulseAudio service) through libpulse: the default input, or the source
// whose name or description is given (the monitor of the null sink WSJT-X
// plays into, "kalimor.monitor"). Mono float at the source's own rate, in
// blocks of 5 ms.
//
// Not Qt Multimedia: its PulseAudio backend leaves monitor sources out of
// its list, and a null sink's monitor is the very source the follower needs.
class PulseFeed : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(std::span<const float> samples, double rate)>;
    // Where the sink is called: on the thread the feed lives in (a window may
    // touch its widgets there), or at once on the sound server's thread, which
    // a busy event loop cannot delay (the headless follower's choice).
    enum class Deliver { OnFeedThread, OnAudioThread };
    struct Source {
        QString name;        // "kalimor.monitor"
        QString description; // "Monitor of Kalimor"
        bool monitor = false;
        double rate = 0;
    };

    explicit PulseFeed(QObject* parent = nullptr);
    ~PulseFeed() override;
    // False with `why` when the server cannot be reached, no such source is
    // there or it cannot be opened.
    bool start(const QString& source, Sink sink, QString* why,
               Deliver deliver = Deliver::OnFeedThread);
    void stop();
    // The source's rate once started.
    double rate() const { return m_rate; }
    // The sources there are, by name, for the window's list.
    static QStringList sources();
    // The same with their descriptions; empty with `why` when the server
    // cannot be reached.
    static QList<Source> listSources(QString* why = nullptr);

Q_SIGNALS:
    // The audio ended without stop(): the source went away or the server
    // quit. Emitted once, on the feed's thread.
    void failed(const QString& why);

private:
    struct Stream;
    void handOn(std::vector<float> block, quint64 generation);
    void report(const QString& why, quint64 generation);

    std::unique_ptr<Stream> m_stream;
    double m_rate = 48000;
    quint64 m_generation = 0;
};

} // namespace kalimor::follow
