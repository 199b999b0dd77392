// The Arrow C data and stream interfaces over a batch: the arrays point into
// the batch's own vectors, which stay alive through a shared reference held
// by every exported struct until its release callback runs (on any thread,
// without the GIL: nothing here touches Python).
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../core/error.hpp"
#include "columnar_state.hpp"

extern "C" {
// The Arrow C data interface ABI.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
}; 
}

namespace morvane::columnar_py {

namespace {

constexpr int64_t kNullable = 2;

// ---------------------------------------------------------------- schema

struct SchemaData {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema*> children;
};

void append_i32(std::string& out, std::int32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.append(bytes, 4);
}

// Arrow's metadata encoding: pair count, then length-prefixed keys and values.
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  append_i32(out, static_cast<std::int32_t>(pairs.size()));
  for (const auto& [key, value] : pairs) {
    append_i32(out, static_cast<std::int32_t>(key.size()));
    out += key;
    append_i32(out, static_cast<std::int32_t>(value.size()));
    out += value;
  }
  return out;
}

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema* child : data->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete data;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* schema, SchemaData* data) {
  schema->format = data->format.c_str();
  schema->name = data->name.c_str();
  schema->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
  schema->flags = 0;
  schema->n_children = static_cast<int64_t>(data->children.size());
  schema->children = data->children.empty() ? nullptr : data->children.data();
  schema->dictionary = nullptr;
  schema->release = release_schema;
  schema->private_data = data;
}

const char* arrow_format(columnar::ColumnType type) {
  switch (type) {
  case columnar::ColumnType::Int64: return "l";
  case columnar::ColumnType::Float64: return "g";
  case columnar::ColumnType::Text: return "U";
  }
  return "n";
}

void export_schema(const columnar::Batch& batch, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->format = "+s";
  data->children.reserve(batch.columns.size());
  for (const columnar::Column& column : batch.columns) {
    auto child_data = std::make_unique<SchemaData>();
    child_data->format = arrow_format(column.values.type);
    child_data->name = batch.name(column);
    child_data->metadata = encode_metadata({
        {"descriptor", written_code(column.descriptor)},
        {"key", batch.key(column)},
        {"rank", std::to_string(column.rank)},
        {"element_name", std::string(batch.element_name(column))},
        {"unit", std::string(batch.unit(column))},
        {"role", columnar::role_name(column.role)},
    });
    auto* child = new ArrowSchema{};
    fill_schema(child, child_data.release());
    child->flags = kNullable;
    data->children.push_back(child);
  }
  fill_schema(out, data.release());
}

// ---------------------------------------------------------------- arrays

struct ArrayData {
  SharedBatch batch;
  std::vector<std::uint8_t> bitmap;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (ArrowArray* child : data->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete data;
  array->release = nullptr;
}

// A non-null address for empty buffers.
const std::int64_t kEmpty[1] = {0};

void fill_column(ArrowArray* out, const SharedBatch& batch, const columnar::ColumnValues& values) {
  auto data = std::make_unique<ArrayData>();
  data->batch = batch;
  const std::size_t rows = values.rows();
  std::int64_t nulls = 0;
  for (std::uint8_t v : values.valid) nulls += v == 0 ? 1 : 0;
  const void* validity = nullptr;
  if (nulls != 0) {
    data->bitmap.assign((rows + 7) / 8, 0);
    for (std::size_t r = 0; r < rows; ++r) {
      if (values.valid[r] != 0) data->bitmap[r / 8] |= static_cast<std::uint8_t>(1U << (r % 8));
    }
    validity = data->bitmap.data();
  }
  auto nonnull = [](const void* p) -> const void* { return p == nullptr ? kEmpty : p; };
  data->buffers.push_back(validity);
  switch (values.type) {
  case columnar::ColumnType::Int64:
  case columnar::ColumnType::Float64: data->buffers.push_back(nonnull(values.words.data())); break;
  case columnar::ColumnType::Text:
    data->buffers.push_back(nonnull(values.offsets().data()));
    data->buffers.push_back(nonnull(values.chars().data()));
    break;
  }
  out->length = static_cast<int64_t>(rows);
  out->null_count = nulls;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(data->buffers.size());
  out->n_children = 0;
  out->buffers = data->buffers.data();
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

void export_array(const SharedBatch& batch, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  data->batch = batch;
  data->buffers.push_back(nullptr);  // the struct itself has no nulls
  data->children.reserve(batch->columns.size());
  for (const columnar::Column& column : batch->columns) {
    auto* child = new ArrowArray{};
    data->children.push_back(child);
    fill_column(child, batch, column.values);
  }
  out->length = static_cast<int64_t>(batch->rows);
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = 1;
  out->n_children = static_cast<int64_t>(data->children.size());
  out->buffers = data->buffers.data();
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

// ---------------------------------------------------------------- stream

struct StreamData {
  SharedBatch batch;
  bool done = false;
  std::string error;
};

// The callbacks must not throw into their C caller.
template <class F> int errno_of(StreamData* data, F&& f) {
  try {
    f();
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory";
    return 12;  // ENOMEM
  } catch (...) {
    data->error = "internal error";
    return 5;  // EIO
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  return errno_of(data, [&] { export_schema(*data->batch, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  if (data->done) {
    out->release = nullptr;  // end of stream
    return 0;
  }
  return errno_of(data, [&] {
    export_array(data->batch, out);
    data->done = true;
  });
}

const char* stream_last_error(ArrowArrayStream* stream) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  return data->error.empty() ? nullptr : data->error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

void schema_capsule_free(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void stream_capsule_free(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

} // namespace

PyObject* arrow_schema_capsule(const SharedBatch& batch) {
  auto schema = std::make_unique<ArrowSchema>();
  export_schema(*batch, schema.get());
  PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_free);
  if (capsule == nullptr) {
    schema->release(schema.get());
    return nullptr;
  }
  schema.release();
  return capsule;
}

PyObject* arrow_stream_capsule(const SharedBatch& batch) {
  auto stream = std::make_unique<ArrowArrayStream>();
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_last_error;
  stream->release = stream_release;
  stream->private_data = new StreamData{batch, false, {}};
  PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", stream_capsule_free);
  if (capsule == nullptr) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

} // namespace morvane::columnar_py
