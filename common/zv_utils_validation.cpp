// Text validators, Base64, the password policy, human-readable sizes, digests
// as text and small host queries shared by the product's programs.
// GCC 12 reports std::regex's own std::function members as maybe-uninitialized
// in unoptimised sanitizer builds; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/asio/ip/address.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <locale>
#include <regex>
#include <sstream>

namespace zv_utils_common {

namespace {

bool matches(const std::string& text, const char* pattern) {
    try {
        return std::regex_match(text, std::regex(pattern, std::regex::ECMAScript));
    } catch (const std::exception&) {
        return false;
    }
}

const char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
    const char* at = std::strchr(base64_alphabet, c);
    return (c != '\0' && at) ? static_cast<int>(at - base64_alphabet) : -1;
}

}  // namespace

bool is_uint(const std::string& text) {
    if (text.empty()) return false;
    try {
        return std::to_string(std::stoul(text, nullptr, 10)) == text;
    } catch (const std::exception&) {
        return false;
    }
}

// A number that does not fit in 32 bits is refused rather than cut to its low bits.
bool string_to_uint(const std::string& text, unsigned int& value) {
    if (!is_uint(text)) return false;
    const unsigned long number = std::stoul(text, nullptr, 10);
    if (number > UINT_MAX) return false;
    value = static_cast<unsigned int>(number);
    return true;
}

bool is_time(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    std::tm time{};
    in >> std::get_time(&time, "%H:%M:%S");
    return !in.fail();
}

bool is_hostname(const std::string& text) {
    return matches(text,
                   "^([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])"
                   "(\\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9]))*$");
}

bool is_email(const std::string& text) {
    return matches(text, "^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,6}$");
}

bool is_https_url_strict(const std::string& text) {
    return matches(text,
                   "(https://)?[a-zA-Z0-9@:%._\\-\\+~#?&//=]{2,256}\\.[a-z]{2,6}\\b"
                   "([-a-zA-Z0-9@%._\\-\\//=]*)");
}

bool is_https_ip_strict(const std::string& text) {
    return matches(text,
                   "https://(([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\.){3}"
                   "([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])") ||
           matches(text, "https://((([0-9a-fA-F]){1,4})\\:){7}([0-9a-fA-F]){1,4}");
}

bool is_ip_address(const std::string& text) {
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    return !error;
}

bool is_valid_uuid(const std::string& text) {
    try {
        const boost::uuids::uuid uuid = boost::uuids::string_generator()(text);
        const int version = uuid.data[6] >> 4;
        return version >= 1 && version <= 5;
    } catch (const std::exception&) {
        return false;
    }
}

std::string base64_encode(const std::string& data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    unsigned int bits = 0;
    int pending = 0;
    for (const unsigned char byte : data) {
        bits = (bits << 8) | byte;
        pending += 8;
        while (pending >= 6) {
            pending -= 6;
            text += base64_alphabet[(bits >> pending) & 0x3f];
        }
    }
    if (pending > 0) text += base64_alphabet[(bits << (6 - pending)) & 0x3f];
    text.append((3 - data.size() % 3) % 3, '=');
    return text;
}

// Only the "=" padding at the end is allowed besides the alphabet; anything else
// (a blank or a line end too) makes the text invalid.
std::string base64_decode(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == '=') --end;
    std::string data;
    unsigned int bits = 0;
    int pending = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const int value = base64_value(text[i]);
        if (value < 0) return std::string();
        bits = (bits << 6) | static_cast<unsigned int>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            data += static_cast<char>((bits >> pending) & 0xff);
        }
    }
    return data;
}

bool check_password_complexity(const std::string& password, std::string& message,
                               bool requirement_only) {
    const std::size_t min_length = 12;
    const int min_upper = 1, min_special = 1, min_digits = 1;
    const std::string requirement =
        "Password minimum length must be no shorter than " + std::to_string(min_length) +
        " symbols and must contain at least " + std::to_string(min_upper) +
        " upper case letter, " + std::to_string(min_special) + " special character, " +
        std::to_string(min_digits) + " digit";
    if (requirement_only || password.size() < min_length) {
        message = requirement;
        return false;
    }
    int upper = 0, special = 0, digits = 0;
    for (const unsigned char c : password) {
        if (std::isupper(c)) ++upper;
        if (std::ispunct(c)) ++special;
        if (std::isdigit(c)) ++digits;
    }
    if (upper >= min_upper && special >= min_special && digits >= min_digits) return true;
    message = requirement;
    return false;
}

// The unit is chosen before the fixed notation rounds, so 1023.99 reads "1024 B".
std::string size_to_human(float size, unsigned int precision) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    const unsigned int unit_count = sizeof units / sizeof units[0];
    unsigned int unit = 0;
    while (size >= 1024) {
        size /= 1024;
        ++unit;
    }
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(static_cast<int>(precision)) << size;
    std::string text = out.str();
    const std::string zero_fraction = "." + std::string(precision, '0');
    for (std::size_t at; (at = text.find(zero_fraction)) != std::string::npos;)
        text.erase(at, zero_fraction.size());
    return text + " " + (unit < unit_count ? units[unit] : "Unknown");
}

void print_digest(unsigned char* digest, unsigned int bits) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    for (unsigned int i = 0; i < bits / 8; ++i) out << std::setw(2) << static_cast<int>(digest[i]) << ' ';
    std::cout << out.str() << std::endl;
}

std::string digest_as_string(const unsigned char* digest, unsigned int length) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    for (unsigned int i = 0; i < length; ++i) out << std::setw(2) << static_cast<int>(digest[i]);
    return out.str();
}

bool get_hw_platform(std::string& output) {
    const std::string command = "dmidecode -t system|grep 'Manufacturer\\|Product'";
    if (execute_command(command, output) == 0) return true;
    ZvLogStream(ZvLogLvl::Error) << "bool zv_utils_common::get_hw_platform(std::__cxx11::string&)"
                                 << ": the following command produced an error: " << command
                                 << std::endl;
    ZvLogStream(ZvLogLvl::Error) << "command output: " << output << std::endl;
    return false;
}

std::string get_nodename() {
    struct utsname names {};
    if (uname(&names) != 0) return std::string();
    return names.nodename;
}

bool is_sparse_file(const std::string& path, bool& sparse, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        error = strerror(errno);
        return false;
    }
    sparse = static_cast<long long>(info.st_blocks) * 512 < static_cast<long long>(info.st_size);
    return true;
}

std::int64_t get_file_size(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        perror(("get_file_size: open input_file: " + path + ": ").c_str());
        return 0;
    }
    std::int64_t size = 0;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        size = info.st_size;
    } else if (S_ISBLK(info.st_mode)) {
        unsigned long sectors = 0;
        if (ioctl(fd, BLKGETSIZE, &sectors) == 0) size = static_cast<std::int64_t>(sectors) * 512;
    } else {
        std::cerr << "get_file_size: wrong input file type" << path << std::endl;
    }
    close(fd);
    return size;
}

std::int64_t get_symlink_size(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return info.st_size;
    std::cerr << "get_symlink_size: wrong input file type" << path << " is not a link!" << std::endl;
    return 0;
}

}  // namespace zv_utils_common
