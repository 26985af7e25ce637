#include "PulseFeed.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMediaDevices>
#include <QThread>

#include <vector>

namespace kalimor::follow {

PulseFeed::PulseFeed(QObject* parent) : QObject(parent) {}

PulseFeed::~PulseFeed() {
    stop();
}

QStringList PulseFeed::sources() {
    QStringList names;
    for (const QAudioDevice& d : QMediaDevices::audioInputs()) names << QString::fromUtf8(d.id());
    return names;
}

bool PulseFeed::start(const QString& source, Sink sink, QString* why) {
    stop();
    // The sound server's devices are listed as its answer comes in.
    QDeadlineTimer listed(2000);
    while (QMediaDevices::audioInputs().isEmpty() && !listed.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (!source.isEmpty()) {
        device = {};
        for (const QAudioDevice& d : QMediaDevices::audioInputs())
            if (QString::fromUtf8(d.id()) == source || d.description() == source) device = d;
        if (device.isNull()) {
            QStringList known = sources();
            *why = QStringLiteral("no audio source named %1 (there are: %2)")
                       .arg(source, known.isEmpty() ? QStringLiteral("none") : known.join(u", "));
            return false;
        }
    }
    if (device.isNull()) {
        *why = QStringLiteral("no audio source: is PulseAudio or PipeWire running?");
        return false;
    }
    QAudioFormat format;
    format.setSampleRate(48000);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format)) format = device.preferredFormat();
    if (format.sampleFormat() != QAudioFormat::Float &&
        format.sampleFormat() != QAudioFormat::Int16) {
        *why = QStringLiteral("%1 offers no float or 16-bit audio").arg(device.description());
        return false;
    }
    m_rate = format.sampleRate();
    m_sink = std::move(sink);
    m_source = std::make_unique<QAudioSource>(device, format);
    // Small buffers: the tone must reach the board within milliseconds.
    m_source->setBufferSize(format.bytesForDuration(20'000));
    m_device = m_source->start();
    if (!m_device || m_source->error() != QAudio::NoError) {
        *why = QStringLiteral("%1 could not be opened").arg(device.description());
        m_source.reset();
        m_device = nullptr;
        return false;
    }
    connect(m_device, &QIODevice::readyRead, this, &PulseFeed::readMore);
    return true;
}

void PulseFeed::stop() {
    if (!m_source) return;
    m_source->stop();
    m_source.reset();
    m_device = nullptr;
}

void PulseFeed::readMore() {
    if (!m_device) return;
    const QAudioFormat format = m_source->format();
    const QByteArray bytes = m_device->readAll();
    const int frameBytes = format.bytesPerFrame();
    if (frameBytes <= 0) return;
    const qsizetype frames = bytes.size() / frameBytes;
    std::vector<float> mono(static_cast<std::size_t>(frames));
    for (qsizetype i = 0; i < frames; ++i) {
        const char* p = bytes.constData() + i * frameBytes;
        mono[std::size_t(i)] = format.normalizedSampleValue(p);
    }
    if (!mono.empty()) m_sink(std::span<const float>(mono.data(), mono.size()), m_rate);
}

} // namespace kalimor::follow
