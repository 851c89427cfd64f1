// Restore deployment: puts a restored domain in place after the archiver has
// unpacked a record. The saved XML gets a domain name and image paths no one uses
// and loses its uuid; the restored images are copied (sparse) to those paths and
// the domain is defined. Whenever the domain is not defined, the restored files
// stay in the restore directory and the log says where.
#include "kvm/zv_module_kvm.h"
#include "kvm/kvm_virsh.h"
#include "kvm/kvm_xml.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/algorithm/string.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace fs = boost::filesystem;
using kvm_xml::named;
using kvm_xml::property;

namespace {

const char* const analyse_signature =
    "bool ZvModuleKvm::analyse_targer_list(std::__cxx11::string, "
    "std::vector<std::pair<std::__cxx11::basic_string<char>, "
    "std::__cxx11::basic_string<char> > >&, std::__cxx11::string&)";
const char* const deployment_signature = "virtual bool ZvModuleKvm::deployment(const bool&)";

const char* const archive_location = "------------>> You can find restored archive here: ";

// However many domains or images a host holds, a search this long means
// something else is wrong (a name probe that always answers "used", a directory
// full of leftovers); the user is told instead of waiting forever.
const unsigned max_free_name_tries = 1000;

const char* const disk_type_words[] = {"file", "block", "dir", "network", "volume", "nvme"};
const char* const device_type_words[] = {"floppy", "disk", "cdrom", "lun"};

// The enumerators follow their words in order, starting at 1.
template <typename E, std::size_t N>
bool enum_from_word(const char* const (&words)[N], const std::string& word, E& value) {
    for (std::size_t i = 0; i < N; ++i) {
        if (word == words[i]) {
            value = static_cast<E>(i + 1);
            return true;
        }
    }
    return false;
}

std::string in_quotes(const std::string& text) { return zelvor::as_quoted(text, '"', '\\'); }


std::string element_text(xmlDocPtr doc, xmlNodePtr node) {
    xmlChar* value = xmlNodeListGetString(doc, node->children, 1);
    if (value == nullptr) return std::string();
    std::string text = reinterpret_cast<const char*>(value);
    xmlFree(value);
    return text;
}

// xmlNodeSetContent reads its text as XML, so a name holding "&" would be taken
// for an entity reference; added content is stored as it is.
void set_element_text(xmlNodePtr node, const std::string& text) {
    xmlNodeSetContent(node, nullptr);
    xmlNodeAddContent(node, BAD_CAST text.c_str());
}

bool path_taken(const std::string& path, const std::vector<std::string>& taken) {
    // symlink_status: a dangling link still occupies the name.
    return fs::exists(fs::symlink_status(path)) ||
           std::find(taken.begin(), taken.end(), path) != taken.end();
}

[[noreturn]] void throw_copy_error(const std::string& what, const std::string& from,
                                   const std::string& to, int error) {
    throw fs::filesystem_error("copy of a restored image: " + what, fs::path(from), fs::path(to),
                               boost::system::error_code(error, boost::system::system_category()));
}

bool all_zero(const char* data, std::size_t size) {
    return std::all_of(data, data + size, [](char c) { return c == 0; });
}

}  // namespace

bool ZvModuleKvm::analyse_targer_list(std::string directory,
                                      std::vector<std::pair<std::string, std::string>>& targets,
                                      std::string& uuid) {
    const std::string path = directory + "/" + "target_list";
    std::ifstream file(path);
    if (!file.is_open()) {
        ZvLogStream(ZvLogLvl::Error) << analyse_signature << ": can't open " << path << std::endl;
        return false;
    }
    const char* const blanks = " \t\r";
    for (std::string line; std::getline(file, line);) {
        const std::size_t start = line.find_first_not_of(blanks);
        if (start == std::string::npos || line[start] == '#') continue;
        // The value is the rest of the line with its inner blanks as they stand: a
        // domain name or an image path may hold runs of them, and collapsing one
        // would name another domain or file.
        const std::size_t key_end = std::min(line.find_first_of(blanks, start), line.size());
        const std::string key = line.substr(start, key_end - start);
        std::string value;
        if (const std::size_t at = line.find_first_not_of(blanks, key_end); at != std::string::npos)
            value = line.substr(at, line.find_last_not_of(blanks) + 1 - at);
        if (key == "UUID")
            uuid = value;
        else
            targets.emplace_back(key, value);
    }
    return true;
}

bool ZvModuleKvm::find_free_domain_name(const std::string& wanted, std::string& name) {
    for (unsigned tries = 0; tries < max_free_name_tries; ++tries) {
        std::string candidate = wanted;
        if (domain_name_counter != 0) {
            candidate = wanted + "-" + std::to_string(domain_name_counter - 1);
            ZvLogStream(ZvLogLvl::Info) << "Try new name: " << candidate << std::endl;
        }
        ++domain_name_counter;
        std::string output;
        const std::string command = virsh_command("domblklist " + zv_utils_common::shell_quote(candidate));
        if (zv_utils_common::execute_command(command, output) != 0) {
            name = candidate;
            return true;
        }
        ZvLogStream(ZvLogLvl::Info) << "Domain name " << candidate << " is used" << std::endl;
    }
    ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": no free domain name found for "
                                 << wanted << " after " << max_free_name_tries
                                 << " tries; remove or rename domains of that name and restore again"
                                 << std::endl;
    return false;
}

bool ZvModuleKvm::find_free_image_path(const std::string& source,
                                       const std::vector<std::string>& taken, std::string& path) {
    if (!path_taken(source, taken)) {
        path = source;
        return true;
    }
    if (fs::exists(fs::symlink_status(source)))
        ZvLogStream(ZvLogLvl::Info) << "File exists: " << source << std::endl;
    const std::string suffix = ".qcow2";
    const bool qcow2 = boost::algorithm::ends_with(source, suffix);
    const std::string stem = qcow2 ? source.substr(0, source.size() - suffix.size()) : source;
    for (unsigned n = 0; n < max_free_name_tries; ++n) {
        const std::string candidate = stem + "-" + std::to_string(n) + (qcow2 ? suffix : "");
        ZvLogStream(ZvLogLvl::Info) << "Try new filename: " << candidate << std::endl;
        if (!path_taken(candidate, taken)) {
            path = candidate;
            return true;
        }
    }
    ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": no free file name found for "
                                 << source << " after " << max_free_name_tries
                                 << " tries; remove old copies beside it and restore again"
                                 << std::endl;
    return false;
}

void ZvModuleKvm::copy_sparse_file(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw_copy_error("open", from, to, errno);
    struct stat info {};
    if (::fstat(in, &info) != 0) {
        const int error = errno;
        ::close(in);
        throw_copy_error("stat", from, to, error);
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        throw_copy_error("create", from, to, error);
    }
    auto fail = [&](const char* what, int error) {
        ::close(in);
        ::close(out);
        ::unlink(to.c_str());
        throw_copy_error(what, from, to, error);
    };

    // Only the data extents are read, and within them a block of zeros is left
    // as a hole: the copy holds the same bytes and no more allocated blocks.
    const off_t size = info.st_size;
    const std::size_t block = 4096;
    std::vector<char> buffer(1 << 20);
    off_t data = 0;
    while (data < size) {
        off_t hole = size;
        const off_t next = ::lseek(in, data, SEEK_DATA);
        if (next >= 0) {
            data = next;
            hole = ::lseek(in, data, SEEK_HOLE);
            if (hole < 0) fail("seek", errno);
        } else if (errno == ENXIO) {
            break;  // only a hole is left
        } else if (errno != EINVAL) {
            fail("seek", errno);
        }  // EINVAL: a file system without extent queries; all of it is read
        while (data < hole) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<off_t>(hole - data, static_cast<off_t>(buffer.size())));
            const ssize_t got = ::pread(in, buffer.data(), want, data);
            if (got < 0) {
                if (errno == EINTR) continue;
                fail("read", errno);
            }
            if (got == 0) fail("read", EIO);  // the file shrank under us
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                const std::size_t piece = std::min(block, static_cast<std::size_t>(got) - at);
                if (all_zero(buffer.data() + at, piece)) {
                    at += piece;
                    continue;
                }
                const ssize_t put = ::pwrite(out, buffer.data() + at, piece, data + static_cast<off_t>(at));
                if (put < 0) {
                    if (errno == EINTR) continue;
                    fail("write", errno);
                }
                at += static_cast<std::size_t>(put);
            }
            data += got;
        }
    }
    if (::ftruncate(out, size) != 0) fail("truncate", errno);
    if (::fsync(out) != 0) fail("sync", errno);
    ::close(in);
    if (::close(out) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        throw_copy_error("close", from, to, error);
    }
}

bool ZvModuleKvm::move_restored_image(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        // Another file system, or one that cannot promise not to replace: a copy serves.
        if (error == EXDEV || error == EINVAL || error == ENOSYS || error == EPERM) return false;
        throw_copy_error(error == EEXIST ? "create" : "move", from, to, error);
    }
    // The archiver flushed the image's data; what is left to make lasting is its new name.
    for (const auto& directory : {fs::path(to).parent_path(), fs::path(from).parent_path()}) {
        const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    return true;
}

std::string ZvModuleKvm::archived_image(const std::string& directory, const std::string& name,
                                        const std::string& original) const {
    const fs::path path(original);
    const bool inside = path.is_absolute() &&
                        std::none_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
    if (deploying_replica && inside) {
        const std::string replica = directory + original;
        boost::system::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(replica, ec))) return replica;
    }
    return directory + "/" + name;
}

bool ZvModuleKvm::restore_backing_chain(const std::string& directory, const std::string& target,
                                        const std::vector<std::pair<std::string, std::string>>& targets,
                                        std::vector<std::string>& chosen,
                                        std::vector<restored_image>& images) {
    auto original_of = [&](const std::string& key) -> const std::string* {
        for (const auto& pair : targets)
            if (pair.first == key) return &pair.second;
        return nullptr;
    };
    // The first name a path was listed under is the one the archive holds it by.
    auto archived_name = [&](const std::string& path) {
        for (const auto& pair : targets)
            if (pair.second == path) return pair.first;
        return std::string();
    };
    std::size_t above = images.size() - 1;
    for (std::size_t depth = 1;; ++depth) {
        const std::string key = backing_file_key(target, depth);
        const std::string* original = original_of(key);
        if (original == nullptr) return true;
        const std::string name = archived_name(*original);
        const std::string archived = archived_image(directory, name, *original);
        // An image shared with an earlier disk is restored once, and both use it.
        const auto done = std::find_if(images.begin(), images.end(), [&](const restored_image& image) {
            return image.archived == archived;
        });
        if (done != images.end()) {
            images[above].backing = done->destination;
            return true;
        }
        std::string path;
        if (!find_free_image_path(*original, chosen, path)) return false;
        if (!check_name_in_operation_directory("Backing file name", name) || !fs::is_regular_file(archived)) {
            ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": File doesn't exist in archive: "
                                         << in_quotes(archived) << std::endl;
            return false;
        }
        ZvLogStream(ZvLogLvl::Info) << "Backing file " << *original << " of disk " << target
                                    << " is restored to: " << path << std::endl;
        chosen.push_back(path);
        images[above].backing = path;
        images.push_back({archived, path, ""});
        above = images.size() - 1;
    }
}

bool ZvModuleKvm::rebase_restored_image(const restored_image& image, const std::string& backing_archived) {
    auto info_of = [](const std::string& file, boost::json::object& info) {
        std::string output;
        if (zv_utils_common::execute_command(
                "/usr/bin/qemu-img info --force-share " + zv_utils_common::shell_quote(file) + " --output=json",
                output) != 0)
            return false;
        boost::system::error_code ec;
        boost::json::value parsed = boost::json::parse(output, ec);
        if (ec || !parsed.is_object()) return false;
        info = parsed.as_object();
        return true;
    };
    auto text = [](const boost::json::object& info, const char* key) {
        const boost::json::value* value = info.if_contains(key);
        return value && value->is_string() ? std::string(value->as_string()) : std::string();
    };
    boost::json::object above, below;
    std::string format;
    if (info_of(image.archived, above)) format = text(above, "backing-filename-format");
    if (format.empty() && info_of(backing_archived, below)) format = text(below, "format");
    std::string command = "/usr/bin/qemu-img rebase -u -b " + zv_utils_common::shell_quote(image.backing);
    if (!format.empty()) command += " -F " + zv_utils_common::shell_quote(format);
    command += " " + zv_utils_common::shell_quote(image.destination);
    std::string output;
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": Can't point " << image.destination
                                     << " at its restored backing file " << image.backing << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "Command: " << command << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "Backing file of " << image.destination << ": " << image.backing
                                << std::endl;
    return true;
}

bool ZvModuleKvm::rewrite_restored_xml(const std::string& directory, const std::string& xml_path,
                                       const std::vector<std::pair<std::string, std::string>>& targets,
                                       std::vector<restored_image>& images, bool& direct_restore) {
    images.clear();
    direct_restore = false;
    xmlDocPtr parsed = xmlParseFile(xml_path.c_str());
    if (parsed == nullptr) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": Document not parsed successfully: "
                                     << xml_path << std::endl;
        return false;
    }
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(parsed, xmlFreeDoc);
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": Empty document: " << xml_path
                                     << std::endl;
        return false;
    }
    if (xmlStrcmp(root->name, BAD_CAST "domain") != 0) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                     << ": Document of the wrong type, root node != domain: "
                                     << xml_path << std::endl;
        ZvLogStream(ZvLogLvl::Error) << reinterpret_cast<const char*>(root->name) << std::endl;
        return false;
    }

    bool file_disk = false;
    bool other_disk = false;
    std::vector<std::string> chosen;
    for (xmlNodePtr child = root->children; child != nullptr; child = child->next) {
        if (named(child, "name")) {
            std::string wanted = element_text(doc.get(), child);
            if (wanted.empty()) wanted = "zelvor-restored-vm";
            ZvLogStream(ZvLogLvl::Info) << "Try to restore VM with the name: " << wanted << std::endl;
            std::string name;
            if (!find_free_domain_name(wanted, name)) return false;
            ZvLogStream(ZvLogLvl::Info) << "The name: " << name << " is free. Use it" << std::endl;
            set_element_text(child, name);
            continue;
        }
        if (!named(child, "devices")) continue;
        for (xmlNodePtr disk = child->children; disk != nullptr; disk = disk->next) {
            if (!named(disk, "disk")) continue;
            const std::string type_word = property(disk, "type");
            const std::string device_word = property(disk, "device");
            ZvLogStream(ZvLogLvl::Info) << "Found disk in XML file. Type: " << type_word
                                        << " device: " << device_word << std::endl;
            kvm_disk_type type;
            kvm_device_type device;
            if (!enum_from_word(disk_type_words, type_word, type)) {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                             << ": wrong device type in VM xml file: " << type_word
                                             << std::endl;
                return false;
            }
            if (!enum_from_word(device_type_words, device_word, device)) {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                             << ": wrong device is VM xml file: " << device_word
                                             << std::endl;
                return false;
            }
            switch (device) {
            case kvm_device_type::cdrom:
                ZvLogStream(ZvLogLvl::Warning) << "Skip cdrom" << std::endl;
                continue;
            case kvm_device_type::floppy:
                ZvLogStream(ZvLogLvl::Warning) << "Skip floppy" << std::endl;
                continue;
            case kvm_device_type::lun:
                ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                             << ": Direct restore is not supported for lun" << std::endl;
                other_disk = true;
                continue;
            case kvm_device_type::disk:
                break;
            }
            if (type != kvm_disk_type::file) {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                             << ": Wrond device type defined in xml" << std::endl;
                other_disk = true;
                continue;
            }
            file_disk = true;

            xmlNodePtr source_node = nullptr;
            std::string target;
            for (xmlNodePtr item = disk->children; item != nullptr; item = item->next) {
                if (named(item, "source") && source_node == nullptr) source_node = item;
                if (named(item, "target") && target.empty()) target = property(item, "dev");
            }
            const std::string source = source_node ? property(source_node, "file") : std::string();
            if (source.empty()) {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": disk " << target
                                             << " has no source file in the VM xml file" << std::endl;
                return false;
            }
            ZvLogStream(ZvLogLvl::Info) << "Source file was: " << source << std::endl;
            std::string path;
            if (!find_free_image_path(source, chosen, path)) return false;

            // The archive keeps each image under its disk's target, so two images
            // of one file name in different directories stay apart.
            if (!check_name_in_operation_directory("Disk target", target)) return false;
            const auto listed = std::find_if(targets.begin(), targets.end(),
                                             [&](const auto& pair) { return pair.first == target; });
            const std::string archived = listed == targets.end()
                                             ? directory + "/" + target
                                             : archived_image(directory, target, listed->second);
            if (listed == targets.end() || !fs::is_regular_file(archived)) {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature
                                             << ": File doesn't exist in archive: "
                                             << in_quotes(archived) << std::endl;
                return false;
            }
            if (archived != directory + "/" + target)
                ZvLogStream(ZvLogLvl::Info) << "Disk " << target << " is deployed from the replica's image: "
                                            << archived << std::endl;
            xmlSetProp(source_node, BAD_CAST "file", BAD_CAST path.c_str());
            chosen.push_back(path);
            images.push_back({archived, path, ""});
            if (!restore_backing_chain(directory, target, targets, chosen, images)) return false;
            // The chain the saved XML describes is the old one: libvirt reads the
            // restored images' own.
            for (xmlNodePtr item = disk->children; item != nullptr;) {
                xmlNodePtr next = item->next;
                if (named(item, "backingStore")) {
                    xmlUnlinkNode(item);
                    xmlFreeNode(item);
                }
                item = next;
            }
        }
    }

    for (xmlNodePtr child = root->children; child != nullptr; child = child->next) {
        if (named(child, "uuid")) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
            break;
        }
    }
    if (xmlSaveFormatFile(xml_path.c_str(), doc.get(), 1) < 0) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": Can't save: " << xml_path
                                     << std::endl;
        return false;
    }
    direct_restore = file_disk && !other_disk;
    return true;
}

bool ZvModuleKvm::deployment(const bool& replication) {
    const std::string directory = options_.tmp_operation_directory;
    deploying_replica = replication;
    // A replica applied onto a plain copy of the images has no domain record beside
    // it: the images are what the client asked for.
    boost::system::error_code ec;
    if (replication && !fs::exists(fs::symlink_status(directory + "/target_list", ec))) {
        ZvLogStream(ZvLogLvl::Info) << "The replica's images under " << directory
                                    << " were updated; no domain was defined, since there is no "
                                    << "target_list there" << std::endl;
        return true;
    }
    std::vector<std::pair<std::string, std::string>> targets;
    std::string uuid = "restored-by-zelvor";
    if (!analyse_targer_list(directory, targets, uuid)) return false;

    ZvLogStream(ZvLogLvl::Info) << "Try to deploy..." << std::endl;
    if (!check_name_in_operation_directory("Domain name", uuid)) return false;
    const std::string xml_path = directory + "/" + uuid + ".xml";
    ZvLogStream(ZvLogLvl::Info) << "Try to import VM from " << xml_path << std::endl;

    // From the moment the user is told to find the restored files here, the
    // restore's clean-up (and a later termination signal) must leave them.
    auto keep_restored_files = [&](ZvLogLvl::Level level) {
        ZvLogStream(level) << archive_location << directory << std::endl;
        remove_tmp_operation_directory = false;
    };

    std::vector<restored_image> images;
    bool direct_restore = false;
    if (!rewrite_restored_xml(directory, xml_path, targets, images, direct_restore)) return false;
    if (!direct_restore) {
        ZvLogStream(ZvLogLvl::Info)
            << "------------>> Direct restore is not supported <<------------" << std::endl;
        keep_restored_files(ZvLogLvl::Info);
        return false;
    }

    ZvLogStream(ZvLogLvl::Info) << "------------>> Direct restore <<------------" << std::endl;
    // The copies are ours alone (each destination was free); a domain that is not
    // defined leaves none of them behind, its data stays in the restore directory.
    // The restore directory of a last restore is removed once the domain is defined, so
    // its images may be moved into place instead of copied: the same files, without
    // writing every byte again. A replica's images stay: the next application needs them.
    const bool may_move = !deploying_replica && last && remove_tmp_operation_directory;
    std::vector<std::string> copied;
    std::vector<std::pair<std::string, std::string>> moved;  // destination, where it came from
    auto remove_copies = [&]() {
        for (const auto& path : copied) {
            boost::system::error_code ignored;
            ZvLogStream(ZvLogLvl::Info) << "Remove copied image: " << path << std::endl;
            fs::remove(path, ignored);
        }
        // A domain that is not defined finds its restored images where the log says.
        for (const auto& [path, from] : moved) {
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, from.c_str(), RENAME_NOREPLACE) == 0) {
                ZvLogStream(ZvLogLvl::Info) << "Move image back: " << path << " to " << from << std::endl;
            } else {
                ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": can't move " << path << " back to "
                                             << from << ": " << std::strerror(errno) << std::endl;
            }
        }
    };
    // Where each image is now, for the steps after the copies.
    auto current = [&](const std::string& archived) {
        for (const auto& [path, from] : moved)
            if (from == archived) return path;
        return archived;
    };
    try {
        for (const auto& image : images) {
            if (may_move && move_restored_image(image.archived, image.destination)) {
                moved.emplace_back(image.destination, image.archived);
                continue;
            }
            copy_sparse_file(image.archived, image.destination);
            copied.push_back(image.destination);
        }
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << deployment_signature << ": " << e.what() << std::endl;
        remove_copies();
        keep_restored_files(ZvLogLvl::Error);
        throw;
    }
    for (const auto& image : images) {
        if (image.backing.empty()) continue;
        const auto below = std::find_if(images.begin(), images.end(), [&](const restored_image& other) {
            return other.destination == image.backing;
        });
        restored_image now = image;
        now.archived = current(image.archived);
        if (!rebase_restored_image(now, below == images.end() ? std::string() : current(below->archived))) {
            remove_copies();
            keep_restored_files(ZvLogLvl::Error);
            return false;
        }
    }

    std::string output;
    const std::string command = virsh_command("define " + zv_utils_common::shell_quote(xml_path));
    if (zv_utils_common::execute_command(command, output) != 0) {
        ZvLogStream(ZvLogLvl::Error) << "Can't define domain from XML file: " << xml_path << std::endl;
        ZvLogStream(ZvLogLvl::Error) << output << std::endl;
        remove_copies();
        keep_restored_files(ZvLogLvl::Error);
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "New domain was defined from XML file: " << xml_path << std::endl;
    return true;
}
