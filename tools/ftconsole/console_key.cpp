#include "tools/ftconsole/console_key.h"

#include "common/sitekey_posix.h"
#include "contracts/transport.h"

namespace qv::ftc {

int RunKeygen(const char* program, const std::string& file, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!sitekey::WriteNewKeyFile(file, &error)) {
        err << program << ": keygen " << file << ": " << error << "\n";
        return 2;
    }
    out << "wrote a new site key to " << file << " (readable by you only)\n"
        << "copy it to each managed machine (SITE.KEY beside rchost32.exe and KSLAVE.exe, readable\n"
        << "by the administrators only) and give it to the consoles with --key-file " << file << "\n";
    return 0;
}

bool UseKeyFile(const std::string& path, std::string* message) {
    sitekey::PosixKeyFileAccess fs;
    const sitekey::LoadResult r = sitekey::Load(path, fs);
    if (!r.ok) {
        *message = r.message;
        return false;
    }
    if (!LinkSetSiteKey(r.key.data(), static_cast<uint32_t>(r.key.size()))) {
        *message = "the transport library cannot use a site key here (error " +
                   std::to_string(LinkGetLastError()) + ")";
        return false;
    }
    return true;
}

const char* NoAnswerHint(bool keyed) {
    return keyed ? "it is not running, busy with another console, or holds another site key"
                 : "it is not running, busy with another console, or requires a site key (--key-file)";
}

}  // namespace qv::ftc
