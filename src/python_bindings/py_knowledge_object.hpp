#pragma once

#include "models/knowledge_object.hpp"
#include "python_bindings/type_builder.hpp"

namespace revuradova::py {

using KnowledgeObjectInstance = Instance<KnowledgeObject>;

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

}  // namespace revuradova::py
