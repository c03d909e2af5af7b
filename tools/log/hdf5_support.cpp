#include "log/hdf5_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace trelvo_cli::hid5 {

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] { H5dont_atexit(); });
    // A thread-safe HDF5 keeps an error stack per thread: silence this one's.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

namespace {

herr_t findErrno(unsigned, const H5E_error2_t* entry, void* data) {
    int* found = static_cast<int*>(data);
    if (*found != 0 || !entry || !entry->desc) return 0;
    if (const char* at = std::strstr(entry->desc, "errno = ")) {
        int value = 0;
        if (std::sscanf(at + 8, "%d", &value) == 1) *found = value;
    }
    return 0;
}

// An attribute's dataspace: scalar (count 1) or one-dimensional; -1 otherwise.
hssize_t elementCount(hid_t attribute) {
    Handle space(H5Aget_space(attribute), H5Sclose);
    if (!space.valid()) return -1;
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank < 0 || rank > 1) return -1;
    return H5Sget_simple_extent_npoints(space.get());
}

Handle openAttribute(hid_t object, const char* name) {
    if (H5Aexists(object, name) <= 0) return {};
    return Handle(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
}

bool writeScalar(hid_t object, const char* name, hid_t fileType, hid_t memoryType,
                 const void* value) {
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    Handle attribute(H5Acreate2(object, name, fileType, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
    return attribute.valid() && H5Awrite(attribute.get(), memoryType, value) >= 0;
}

}  // namespace

int lastErrno() {
    const int saved = errno;
    int found = 0;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, findErrno, &found);
    H5Eclear2(H5E_DEFAULT);
    return found != 0 ? found : saved;
}

bool writeString(hid_t object, const char* name, const std::string& value) {
    Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(type.get(), H5T_VARIABLE);
    H5Tset_cset(type.get(), H5T_CSET_UTF8);
    const char* text = value.c_str();
    return writeScalar(object, name, type.get(), type.get(), &text);
}

bool writeInt(hid_t object, const char* name, int64_t value) {
    return writeScalar(object, name, H5T_STD_I64LE, H5T_NATIVE_INT64, &value);
}

bool writeDouble(hid_t object, const char* name, double value) {
    return writeScalar(object, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value);
}

bool writeIntArray(hid_t object, const char* name, const std::vector<int>& values) {
    const hsize_t count[1] = {values.size()};
    Handle space(H5Screate_simple(1, count, nullptr), H5Sclose);
    Handle attribute(H5Acreate2(object, name, H5T_STD_I32LE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
    return attribute.valid() && H5Awrite(attribute.get(), H5T_NATIVE_INT, values.data()) >= 0;
}

std::optional<std::string> readString(hid_t object, const char* name, std::size_t maxLength) {
    Handle attribute = openAttribute(object, name);
    if (!attribute.valid() || elementCount(attribute.get()) != 1) return std::nullopt;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_STRING) return std::nullopt;
    const htri_t variable = H5Tis_variable_str(type.get());
    if (variable < 0) return std::nullopt;
    Handle memory(H5Tcopy(H5T_C_S1), H5Tclose);
    const H5T_cset_t cset = H5Tget_cset(type.get());
    if (cset < 0) return std::nullopt;
    H5Tset_cset(memory.get(), cset);  // no conversion between ASCII and UTF-8
    if (variable) {
        H5Tset_size(memory.get(), H5T_VARIABLE);
        char* text = nullptr;
        if (H5Aread(attribute.get(), memory.get(), &text) < 0 || !text) return std::nullopt;
        std::string value(text, strnlen(text, maxLength + 1));
        H5free_memory(text);
        if (value.size() > maxLength) return std::nullopt;
        return value;
    }
    const std::size_t size = H5Tget_size(type.get());
    if (size == 0 || size > maxLength) return std::nullopt;
    H5Tset_size(memory.get(), size + 1);
    H5Tset_strpad(memory.get(), H5T_STR_NULLTERM);
    std::string value(size + 1, '\0');
    if (H5Aread(attribute.get(), memory.get(), value.data()) < 0) return std::nullopt;
    value.resize(strnlen(value.c_str(), size));
    return value;
}

std::optional<int64_t> readInt(hid_t object, const char* name) {
    Handle attribute = openAttribute(object, name);
    if (!attribute.valid() || elementCount(attribute.get()) != 1) return std::nullopt;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_INTEGER) return std::nullopt;
    int64_t value = 0;
    if (H5Aread(attribute.get(), H5T_NATIVE_INT64, &value) < 0) return std::nullopt;
    return value;
}

std::optional<double> readDouble(hid_t object, const char* name) {
    Handle attribute = openAttribute(object, name);
    if (!attribute.valid() || elementCount(attribute.get()) != 1) return std::nullopt;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    const H5T_class_t kind = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
    if (kind != H5T_FLOAT && kind != H5T_INTEGER) return std::nullopt;
    double value = 0;
    if (H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value) < 0) return std::nullopt;
    return value;
}

std::optional<std::vector<int>> readIntArray(hid_t object, const char* name, std::size_t maxCount) {
    Handle attribute = openAttribute(object, name);
    if (!attribute.valid()) return std::nullopt;
    const hssize_t count = elementCount(attribute.get());
    if (count < 0 || static_cast<std::size_t>(count) > maxCount) return std::nullopt;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_INTEGER) return std::nullopt;
    std::vector<int> values(static_cast<std::size_t>(count));
    if (count > 0 && H5Aread(attribute.get(), H5T_NATIVE_INT, values.data()) < 0)
        return std::nullopt;
    return values;
}

}  // namespace trelvo_cli::hid5
