// The real libftdi1 and libgpiod behind the back-ends' seams: nothing here
// but the library calls, so that everything above them is tested.
#include "UsbGpioPorts.h"

#include <ftdi.h>
#include <gpiod.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace kalimor::dds {

namespace {

class RealFtdi : public FtdiLib {
public:
    ~RealFtdi() override { close(); }
    int open(const std::string& serial) override {
        close();
        m_ctx = ftdi_new();
        if (!m_ctx) return -1;
        // The kernel's ftdi_sio comes back when we let go of the adapter.
        m_ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        ftdi_device_list* devices = nullptr;
        // Vendor and product 0: the FT232R, FT2232, FT4232, FT232H and FT-X ids.
        int rc = ftdi_usb_find_all(m_ctx, &devices, 0, 0);
        if (rc < 0) return rc;
        rc = -3;
        for (ftdi_device_list* d = devices; d; d = d->next) {
            char found[128] = {};
            if (!serial.empty() && (ftdi_usb_get_strings(m_ctx, d->dev, nullptr, 0, nullptr, 0,
                                                         found, sizeof found) < 0 ||
                                    serial != found))
                continue;
            rc = ftdi_usb_open_dev(m_ctx, d->dev);
            break;
        }
        ftdi_list_free(&devices);
        if (rc == -3) m_ctx->error_str = "device not found";
        return rc;
    }
    int setBitmode(unsigned char outputs, unsigned char mode) override {
        return ftdi_set_bitmode(m_ctx, outputs, mode);
    }
    int setBaudrate(int baud) override { return ftdi_set_baudrate(m_ctx, baud); }
    int write(const unsigned char* bytes, int count) override {
        return ftdi_write_data(m_ctx, bytes, count);
    }
    void close() override {
        if (!m_ctx) return;
        ftdi_usb_close(m_ctx);
        ftdi_free(m_ctx);
        m_ctx = nullptr;
    }
    std::string error() override {
        const char* text = m_ctx ? ftdi_get_error_string(m_ctx) : nullptr;
        return text ? text : "libftdi could not start";
    }
    std::vector<Device> list() override {
        std::vector<Device> out;
        ftdi_context* ctx = ftdi_new();
        if (!ctx) return out;
        ftdi_device_list* devices = nullptr;
        if (ftdi_usb_find_all(ctx, &devices, 0, 0) > 0) {
            for (ftdi_device_list* d = devices; d; d = d->next) {
                char description[128] = {}, serial[128] = {};
                ftdi_usb_get_strings(ctx, d->dev, nullptr, 0, description, sizeof description,
                                     serial, sizeof serial);
                out.push_back({serial, description});
            }
        }
        ftdi_list_free(&devices);
        ftdi_free(ctx);
        return out;
    }

private:
    ftdi_context* m_ctx = nullptr;
};

#if KALIMOR_GPIOD_V2
class RealGpio : public GpioLib {
public:
    ~RealGpio() override { close(); }
    int open(const std::string& chip) override {
        close();
        errno = 0;
        // libgpiod 2 opens by path only.
        const std::string path = chip.rfind('/', 0) == 0 ? chip : "/dev/" + chip;
        m_chip = gpiod_chip_open(path.c_str());
        return m_chip ? 0 : -(errno ? errno : ENOENT);
    }
    int request(const std::vector<unsigned>& offsets, const char* consumer) override {
        gpiod_line_settings* settings = gpiod_line_settings_new();
        gpiod_line_config* lines = gpiod_line_config_new();
        gpiod_request_config* config = gpiod_request_config_new();
        int rc = -ENOMEM;
        if (settings && lines && config &&
            gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_OUTPUT) == 0 &&
            gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_INACTIVE) == 0) {
            gpiod_request_config_set_consumer(config, consumer);
            std::vector<unsigned> ids(offsets);
            rc = gpiod_line_config_add_line_settings(lines, ids.data(), ids.size(), settings) < 0
                     ? -errno
                     : 0;
            if (rc == 0) {
                m_request = gpiod_chip_request_lines(m_chip, config, lines);
                rc = m_request ? 0 : -errno;
            }
        }
        gpiod_request_config_free(config);
        gpiod_line_config_free(lines);
        gpiod_line_settings_free(settings);
        return rc;
    }
    int set(const std::vector<int>& values) override {
        // The request's values in the order its offsets were given.
        m_values.resize(values.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            m_values[i] = values[i] ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
        return gpiod_line_request_set_values(m_request, m_values.data()) < 0 ? -errno : 0;
    }
    void close() override {
        if (m_request) gpiod_line_request_release(m_request);
        m_request = nullptr;
        if (m_chip) gpiod_chip_close(m_chip);
        m_chip = nullptr;
    }
    std::string consumer(unsigned offset) override {
        gpiod_line_info* info = m_chip ? gpiod_chip_get_line_info(m_chip, offset) : nullptr;
        const char* who = info ? gpiod_line_info_get_consumer(info) : nullptr;
        std::string out = who ? who : "";
        if (info) gpiod_line_info_free(info);
        return out;
    }
    std::vector<Chip> list() override {
        std::vector<Chip> out;
        DIR* dev = opendir("/dev");
        if (!dev) return out;
        while (const dirent* e = readdir(dev)) {
            const std::string path = std::string("/dev/") + e->d_name;
            if (std::strncmp(e->d_name, "gpiochip", 8) != 0 ||
                !gpiod_is_gpiochip_device(path.c_str()))
                continue;
            gpiod_chip* c = gpiod_chip_open(path.c_str());
            gpiod_chip_info* info = c ? gpiod_chip_get_info(c) : nullptr;
            if (info)
                out.push_back({gpiod_chip_info_get_name(info), gpiod_chip_info_get_label(info),
                               static_cast<unsigned>(gpiod_chip_info_get_num_lines(info))});
            if (info) gpiod_chip_info_free(info);
            if (c) gpiod_chip_close(c);
        }
        closedir(dev);
        // In number order, as libgpiod 1.6 lists them.
        std::sort(out.begin(), out.end(), [](const Chip& a, const Chip& b) {
            return std::strtoul(a.name.c_str() + 8, nullptr, 10) <
                   std::strtoul(b.name.c_str() + 8, nullptr, 10);
        });
        return out;
    }

private:
    gpiod_chip* m_chip = nullptr;
    gpiod_line_request* m_request = nullptr;
    std::vector<gpiod_line_value> m_values;
};
#else
class RealGpio : public GpioLib {
public:
    ~RealGpio() override { close(); }
    int open(const std::string& chip) override {
        close();
        errno = 0;
        m_chip = chip.rfind('/', 0) == 0 ? gpiod_chip_open(chip.c_str())
                                         : gpiod_chip_open_by_name(chip.c_str());
        return m_chip ? 0 : -(errno ? errno : ENOENT);
    }
    int request(const std::vector<unsigned>& offsets, const char* consumer) override {
        gpiod_line_bulk_init(&m_bulk);
        if (gpiod_chip_get_lines(m_chip, const_cast<unsigned*>(offsets.data()),
                                 static_cast<unsigned>(offsets.size()), &m_bulk) < 0)
            return -errno;
        std::vector<int> low(offsets.size(), 0);
        if (gpiod_line_request_bulk_output(&m_bulk, consumer, low.data()) < 0) return -errno;
        m_requested = true;
        return 0;
    }
    int set(const std::vector<int>& values) override {
        return gpiod_line_set_value_bulk(&m_bulk, const_cast<int*>(values.data())) < 0 ? -errno : 0;
    }
    void close() override {
        if (m_requested) gpiod_line_release_bulk(&m_bulk);
        m_requested = false;
        if (m_chip) gpiod_chip_close(m_chip);
        m_chip = nullptr;
    }
    std::string consumer(unsigned offset) override {
        gpiod_line* line = m_chip ? gpiod_chip_get_line(m_chip, offset) : nullptr;
        const char* who = line ? gpiod_line_consumer(line) : nullptr;
        return who ? who : "";
    }
    std::vector<Chip> list() override {
        std::vector<Chip> out;
        gpiod_chip_iter* iter = gpiod_chip_iter_new();
        if (!iter) return out;
        for (gpiod_chip* c = gpiod_chip_iter_next(iter); c; c = gpiod_chip_iter_next(iter))
            out.push_back({gpiod_chip_name(c), gpiod_chip_label(c), gpiod_chip_num_lines(c)});
        gpiod_chip_iter_free(iter);
        return out;
    }

private:
    gpiod_chip* m_chip = nullptr;
    gpiod_line_bulk m_bulk{};
    bool m_requested = false;
};

#endif

} // namespace

std::unique_ptr<FtdiLib> FtdiLib::makeReal() {
    return std::make_unique<RealFtdi>();
}

std::unique_ptr<GpioLib> GpioLib::makeReal() {
    return std::make_unique<RealGpio>();
}

} // namespace kalimor::dds
