#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace pilro::bench {

void bare_append_cycle(const char* path, const char* bytes, std::size_t n) noexcept {
    // The seek is made even though O_APPEND would place the write at the end anyway: this is
    // the cycle as written down, open, seek to the end, write, close. One write, as the
    // Windows cycle makes one WriteFile: a regular file takes all of it at once, short of a
    // full disk.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        return;
    }
    lseek(fd, 0, SEEK_END);
    if (write(fd, bytes, n) < 0) {
        // Lost, as the module would lose it.
    }
    close(fd);
}

const char* find_bytes(const char* haystack, std::size_t n, const char* needle,
                       std::size_t needle_size) noexcept {
    return static_cast<const char*>(memmem(haystack, n, needle, needle_size));
}

const char* const byte_search_name = "memmem";

unsigned build_lead_byte_table() noexcept {
    return 0;
}

bool has_lead_byte_table() noexcept {
    return false;
}

std::int64_t page_faults() noexcept {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(usage.ru_minflt) + usage.ru_majflt;
}

double processor_seconds() noexcept {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return -1;
    }
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string machine_description() {
    std::string description;
    utsname name{};
    if (uname(&name) == 0) {
        description.append(name.sysname).append(" ").append(name.release).append(" ");
        description.append(name.machine);
    }
    // The processor's model name, as the kernel reports it.
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, info) != nullptr) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* value = std::strchr(line, ':');
                if (value != nullptr) {
                    std::string model = value + 1;
                    while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) {
                        model.pop_back();
                    }
                    description.append(",").append(model);
                }
                break;
            }
        }
        std::fclose(info);
    }
    description.append(", ").append(std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    description.append(" cores");
    return description;
}

}  // namespace pilro::bench
