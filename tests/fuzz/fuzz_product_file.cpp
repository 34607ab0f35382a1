// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes as an uploaded product file, read by the service's own reader with its parse
// arena and budget in place. A file it takes is held as exactly those bytes, under a name that fits its record
// and stays in its directory, with a version of the valid form.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "file_io.h"
#include "menuhold.h"
#include "version.h"

struct ProductFileFuzzer {
    static int read(const unsigned char* data, size_t size, ProductFile& file)
    {
        static Menuhold service;  // never initialised: the reader needs no socket, and debug stays 0
        const FileDescriptor fd(memfd_create("upload", MFD_CLOEXEC));
        if (!fd.valid() || write(fd.get(), data, size) != static_cast<ssize_t>(size)) abort();
        lseek(fd.get(), 0, SEEK_SET);
        return service.readJsonFile(fd.get(), "/tmp/upload.json", file);
    }
};

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The service object removes the socket path, a running service's outside the sandbox.
    return getenv("MENUHOLD_SANDBOX") ? 0 : (fputs("run me through scripts/sandbox\n", stderr), exit(2), 0);
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    ProductFile file;
    if (ProductFileFuzzer::read(data, size, file) != 0) return 0;
    const ProdInfo_t& info = file.info;
    if (file.bytes.size() != size || std::memcmp(file.bytes.data(), data, size) != 0) __builtin_trap();
    if (!memchr(info.prod_name, 0, sizeof info.prod_name) || strchr(info.prod_name, '/')) __builtin_trap();
    if (!memchr(info.version, 0, sizeof info.version) || !file_version_is_valid(info.version)) __builtin_trap();
    return 0;
}
