#pragma once

#include <cstdint>
#include <memory>

#include "models/knowledge_object.hpp"
#include "python_bindings/type_builder.hpp"
#include "text/content_digest.hpp"

namespace revuradova::py {

/// An instance holds its knowledge object by pointer: the instances themselves are then
/// small enough for the interpreter's small-object allocator, which packs them densely, so
/// a pass over many of them (a search's type checks) touches few pages. The object never
/// changes, so an object searched again keeps a digest of its content with it.
struct KnowledgeObjectHandle {
    std::unique_ptr<const KnowledgeObject> object;
    text::ContentDigest digest;
    std::uint8_t searches = 0;  // searches that passed the object, counted up to the digest's
    bool digested = false;      // whether `digest` was made (it may be empty even so)
};
using KnowledgeObjectInstance = Instance<KnowledgeObjectHandle>;

/// The registered PyKnowledgeObject class.
LazyType& knowledge_object_type();

/// A PyKnowledgeObject argument, read in place: holds a strong reference and a shared
/// borrow of the instance for as long as it lives.
class KnowledgeObjectRef {
public:
    KnowledgeObjectRef(PyObject* object, KnowledgeObjectInstance& instance,
                       const KnowledgeObject& value)
        : object_(Object::borrow(object)), borrow_(instance.borrow), value_(&value) {}
    const KnowledgeObject& get() const { return *value_; }

private:
    Object object_;
    SharedBorrow borrow_;
    const KnowledgeObject* value_;
};

/// Converts an argument to a knowledge object; TypeError (with the argument's name) for
/// anything that is not a PyKnowledgeObject.
KnowledgeObjectRef knowledge_object_arg(PyObject* value, const char* name);

/// The knowledge object of a PyKnowledgeObject the caller keeps alive and unchanged
/// (knowledge objects are immutable, so no borrow is needed to read one); TypeError as above.
const KnowledgeObject& knowledge_object_value(PyObject* value, const char* name);

/// The handle of a PyKnowledgeObject, read as knowledge_object_value reads its object.
KnowledgeObjectHandle& knowledge_object_handle(PyObject* value, const char* name);

/// The digest of the handle's content for a search that passes it, made by its second
/// search (with the GIL held, like every access to an instance): making a digest costs
/// several scans of the content, so an object searched once is only scanned. Null before
/// then, when the digest is empty, or when there was no memory to make it.
const text::ContentDigest* content_digest(KnowledgeObjectHandle& handle) noexcept;

}  // namespace revuradova::py
