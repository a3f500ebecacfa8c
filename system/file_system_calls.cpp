#include "system/file_system_calls.h"

namespace voxtrel {

FileSystemCalls file_system_calls = {
    .open_file = &::NtOpenFile,
    .create_file = &::CreateFileW,
    .set_information = &::SetFileInformationByHandle,
    .get_information = &::GetFileInformationByHandleEx,
    .get_file_information = &::GetFileInformationByHandle,
    .query_directory = &::NtQueryDirectoryFile,
    .device_control = &::DeviceIoControl,
};

}  // namespace voxtrel
