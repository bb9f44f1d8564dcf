// corvale_trie Python binding: the six snapshot iterator classes.
#include "python/iterators.hpp"

#include "python/classes.hpp"

namespace corvale_py {
namespace {

struct SetIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleSetIter";
  static constexpr const char* kTypePath = "_corvale::set::CorvaleSetIter";
  static constexpr const char* kDoc = "Key iterator for [`CorvaleSet`].";
};

struct SetRangeIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleSetRangeIter";
  static constexpr const char* kTypePath = "_corvale::set::CorvaleSetRangeIter";
  static constexpr const char* kDoc = "Range iterator for [`CorvaleSet`].";
};

struct MapKeyIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleMapKeyIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapKeyIter";
  static constexpr const char* kDoc = "Iterator yielding keys of [`CorvaleMap`].";
};

struct MapValueIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleMapValueIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapValueIter";
  static constexpr const char* kDoc = "Iterator yielding values of [`CorvaleMap`].";
};

struct MapItemIterObject : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "CorvaleMapItemIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapItemIter";
  static constexpr const char* kDoc = "Iterator yielding `(key, value)` pairs of [`CorvaleMap`].";
};

struct MapRangeIterObject : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "CorvaleMapRangeIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapRangeIter";
  static constexpr const char* kDoc =
      "Range iterator yielding `(key, value)` pairs of [`CorvaleMap`].";
};

}  // namespace

PyTypeObject* corvale_map_key_iter_type() { return iterator_type<MapKeyIterObject>(); }
PyTypeObject* corvale_map_value_iter_type() { return iterator_type<MapValueIterObject>(); }
PyTypeObject* corvale_map_item_iter_type() { return iterator_type<MapItemIterObject>(); }
PyTypeObject* corvale_map_range_iter_type() { return iterator_type<MapRangeIterObject>(); }
PyTypeObject* corvale_set_iter_type() { return iterator_type<SetIterObject>(); }
PyTypeObject* corvale_set_range_iter_type() { return iterator_type<SetRangeIterObject>(); }

Ref new_set_iter(std::vector<u64> keys) {
  return make_object<SetIterObject>(corvale_set_iter_type(), std::move(keys));
}

Ref new_map_key_iter(std::vector<u64> keys) {
  return make_object<MapKeyIterObject>(corvale_map_key_iter_type(), std::move(keys));
}

}  // namespace corvale_py
