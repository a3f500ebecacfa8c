// Reads the built release tool as a file and checks what an administrator and a security
// reviewer see: the DLLs it needs, its manifest, its version information, the hardening flags
// of its image, that nothing in it depends on when or where it was built, and the certificate
// table of a signed copy (tests/release/signed_package.sh runs this program on one).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "system/text.h"
#include "tests/support/child_process.h"
#include "tests/support/pe_image.h"

namespace voxtrel::testing {
namespace {

// Every DLL the tool may import. All are parts of Windows 10 and 11 x64 in System32 (msvcrt.dll
// is the system's own C runtime, not a redistributable); anything else (libstdc++,
// libwinpthread, a Visual C++ or UCRT redistributable) would have to be installed beside it.
constexpr std::array<std::string_view, 12> kWindowsDlls = {
    "kernel32.dll", "advapi32.dll", "ntdll.dll",   "msvcrt.dll",  "shell32.dll", "user32.dll",
    "ole32.dll",    "oleaut32.dll", "shlwapi.dll", "version.dll", "bcrypt.dll",  "msi.dll"};

constexpr std::string_view kWindows10And11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}";
constexpr std::uint16_t kManifestType = 24;  // RT_MANIFEST
constexpr std::uint16_t kProcessManifest = 1;
constexpr std::uint16_t kIsolationManifest = 2;
constexpr std::uint16_t kIsolationNoStaticImportManifest = 3;

// An Authenticode signature is one WIN_CERTIFICATE entry (wintrust.h) holding PKCS#7 signed data.
struct CertificateEntryHeader {
  std::uint32_t length;  // header included
  std::uint16_t revision;
  std::uint16_t type;
};
constexpr std::uint16_t kCertificateRevision2 = 0x0200;           // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kCertificateTypePkcsSignedData = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
constexpr std::size_t kCertificateTableAlignment = 8;

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Wine shows the Unix root as drive Z:.
std::wstring windows_form(const std::string& unix_path) {
  std::wstring path = L"Z:" + to_wide(unix_path);
  std::ranges::replace(path, L'/', L'\\');
  return path;
}

std::string section_name(const IMAGE_SECTION_HEADER& section) {
  const auto* name = reinterpret_cast<const char*>(section.Name);
  return std::string(name, strnlen(name, IMAGE_SIZEOF_SHORT_NAME));
}

// The element names of an XML text, in order, without the XML declaration.
std::vector<std::string> element_names(std::string_view xml) {
  std::vector<std::string> names;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    if (at + 1 >= xml.size() || !std::isalpha(static_cast<unsigned char>(xml[at + 1]))) continue;
    const std::size_t end = xml.find_first_of(" \t\r\n/>", at + 1);
    names.emplace_back(xml.substr(at + 1, end - at - 1));
  }
  return names;
}

class ReleaseImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unix_path_ = environment("VOXTREL_RELEASE_EXE");
    ASSERT_FALSE(unix_path_.empty()) << "VOXTREL_RELEASE_EXE is not set";
    path_ = windows_form(unix_path_);
    auto bytes = read_file(path_);
    ASSERT_TRUE(bytes.has_value()) << "cannot read " << unix_path_ << "; build the release preset";
    image_ = new PeImage(std::move(*bytes));
  }
  static void TearDownTestSuite() {
    delete image_;
    image_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(image_, nullptr); }

  static std::string unix_path_;
  static std::wstring path_;
  static PeImage* image_;
};
std::string ReleaseImage::unix_path_;
std::wstring ReleaseImage::path_;
PeImage* ReleaseImage::image_ = nullptr;

TEST_F(ReleaseImage, IsA64BitConsoleProgram) {
  EXPECT_EQ(image_->file_header().Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_NE(image_->file_header().Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, 0);
  EXPECT_EQ(image_->file_header().Characteristics & IMAGE_FILE_DLL, 0);
  EXPECT_EQ(image_->optional_header().Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
}

TEST_F(ReleaseImage, ImportsOnlyDllsThatShipWithWindows) {
  auto dlls = image_->imported_dlls();
  const auto delayed = image_->delay_imported_dlls();
  dlls.insert(dlls.end(), delayed.begin(), delayed.end());
  std::set<std::string> seen;
  for (const auto& dll : dlls) seen.insert(lower(dll));
  EXPECT_TRUE(seen.contains("kernel32.dll")) << "the import table was not read";
  for (const auto& dll : seen) {
    EXPECT_TRUE(std::ranges::find(kWindowsDlls, dll) != kWindowsDlls.end())
        << dll << " does not ship with Windows";
  }
}

TEST_F(ReleaseImage, IsHardened) {
  const WORD flags = image_->optional_header().DllCharacteristics;
  EXPECT_NE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, 0) << "no ASLR";
  EXPECT_NE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, 0) << "no 64-bit ASLR";
  EXPECT_NE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, 0) << "no DEP";
  // ASLR moves only an image that can be relocated above 4 GB.
  EXPECT_EQ(image_->file_header().Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
  EXPECT_NE(image_->file_header().Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE, 0);
  EXPECT_NE(image_->directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
  for (const auto& section : image_->sections()) {
    const std::string name = section_name(section);
    const DWORD writable_code = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE;
    EXPECT_NE(section.Characteristics & writable_code, writable_code)
        << name << " is writable and executable";
  }
}

TEST_F(ReleaseImage, CarriesNoBuildTimeOrPlace) {
  EXPECT_EQ(image_->file_header().TimeDateStamp, 0u);
  for (const auto stamp : image_->resource_time_stamps()) EXPECT_EQ(stamp, 0u);
  EXPECT_EQ(image_->directory(IMAGE_DIRECTORY_ENTRY_DEBUG).Size, 0u) << "a debug directory";
  for (const auto& section : image_->sections()) {
    const std::string name = section_name(section);
    EXPECT_FALSE(name.starts_with(".debug") || name.starts_with("/"))
        << "a debugging section: " << name;
  }
  // The folders of the sources and of the build, in both the forms a compiler could record.
  const std::string build_folder = unix_path_.substr(0, unix_path_.rfind('/'));
  for (const auto& folder : {environment("VOXTREL_SOURCE_DIR"), build_folder}) {
    ASSERT_FALSE(folder.empty());
    const std::wstring wide = to_wide(folder);
    const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    EXPECT_EQ(image_->bytes().find(folder), std::string::npos) << folder << " is embedded";
    EXPECT_EQ(image_->bytes().find(utf16), std::string::npos) << folder << " is embedded";
  }
}

TEST_F(ReleaseImage, ManifestRunsAsInvokerOnWindows10And11) {
  const auto manifest = image_->resource(kManifestType, kProcessManifest);
  ASSERT_TRUE(manifest.has_value()) << "no application manifest";
  EXPECT_FALSE(image_->resource(kManifestType, kIsolationManifest).has_value());
  EXPECT_FALSE(image_->resource(kManifestType, kIsolationNoStaticImportManifest).has_value());
  EXPECT_NE(manifest->find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
            std::string_view::npos)
      << *manifest;
  EXPECT_NE(manifest->find(std::string(R"(<supportedOS Id=")") + std::string(kWindows10And11)),
            std::string_view::npos)
      << *manifest;
  // Nothing else: no DPI, UI, code page, long-path or dependency settings.
  const std::vector<std::string> expected = {"assembly",
                                             "trustInfo",
                                             "security",
                                             "requestedPrivileges",
                                             "requestedExecutionLevel",
                                             "compatibility",
                                             "application",
                                             "supportedOS"};
  EXPECT_EQ(element_names(*manifest), expected) << *manifest;
}

// The package step signs the executable when it is given a key (VOXTREL_RELEASE_SIGNED=1 says
// this file should be signed); the build never does. The signature is a certificate table that
// the security directory names by file offset, not by address: it is appended after the last
// section, outside the mapped image, so signing changes nothing the loader maps.
TEST_F(ReleaseImage, CarriesACertificateTableExactlyWhenSigned) {
  const auto table = image_->directory(IMAGE_DIRECTORY_ENTRY_SECURITY);
  if (environment("VOXTREL_RELEASE_SIGNED") != "1") {
    EXPECT_EQ(table.Size, 0u) << "the build signed the image";
    return;
  }
  ASSERT_NE(table.Size, 0u) << "no certificate table: the image is not signed";
  const std::size_t offset = table.VirtualAddress;
  EXPECT_EQ(offset % kCertificateTableAlignment, 0u);
  EXPECT_EQ(offset + table.Size, image_->bytes().size()) << "the table does not end the file";
  for (const auto& section : image_->sections()) {
    EXPECT_LE(std::size_t{section.PointerToRawData} + section.SizeOfRawData, offset)
        << section_name(section) << " overlaps the certificate table";
  }
  ASSERT_GE(table.Size, sizeof(CertificateEntryHeader));
  ASSERT_LE(offset + table.Size, image_->bytes().size());
  CertificateEntryHeader entry{};
  std::memcpy(&entry, image_->bytes().data() + offset, sizeof(entry));
  EXPECT_EQ(entry.revision, kCertificateRevision2);
  EXPECT_EQ(entry.type, kCertificateTypePkcsSignedData);
  EXPECT_GT(entry.length, sizeof(CertificateEntryHeader)) << "an empty signature";
  EXPECT_LE(entry.length, table.Size);
}

// Read through version.dll, as Explorer's Properties page reads it.
TEST_F(ReleaseImage, VersionInformationNamesTheToolAndTheProjectVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
  ASSERT_NE(size, 0u) << "no version information, error " << GetLastError();
  std::vector<std::byte> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{VOXTREL_VERSION_MAJOR << 16 | VOXTREL_VERSION_MINOR});
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{VOXTREL_VERSION_PATCH << 16});
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "marked debug or pre-release";
  EXPECT_EQ(fixed->dwFileType, DWORD{VFT_APP});

  const auto text = [&](const wchar_t* name) -> std::string {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return {};
    return to_utf8_lossy(std::wstring(static_cast<const wchar_t*>(value), length - 1));
  };
  EXPECT_EQ(text(L"ProductName"), "Voxtrel Force-Removal Tool");
  EXPECT_FALSE(text(L"FileDescription").empty());
  EXPECT_EQ(text(L"FileVersion"), VOXTREL_VERSION);
  EXPECT_EQ(text(L"ProductVersion"), VOXTREL_VERSION);
  EXPECT_EQ(text(L"OriginalFilename"), "voxtrel-force-remove.exe");
}

}  // namespace
}  // namespace voxtrel::testing
