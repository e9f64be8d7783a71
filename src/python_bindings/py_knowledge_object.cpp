// Python view of this file:
//   class PyKnowledgeObject:
//       """Python binding for KnowledgeObject"""
//       def __new__(cls, source_type: str, source_location: str, knowledge_type: str,
//                   domain: str, content: str) -> PyKnowledgeObject: ...
//       id: str               # read-only, "ko_" + UUID
//       source_location: str  # read-only
//       domain: str           # read-only
//       content: str          # read-only
//       def __repr__(self) -> str:
//           return f"KnowledgeObject(id='{id}', domain='{domain}', source='{source_location}')"

#include "python_bindings/py_knowledge_object.hpp"

#include <memory>
#include <new>
#include <string>

#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/signature.hpp"

namespace revuradova::py {
namespace {

using NewParameters = Parameters<Receiver::none, "PyKnowledgeObject", "source_type",
                                 "source_location", "knowledge_type", "domain", "content">;

PyObject* knowledge_object_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        PyObject* values[5];
        parse_arguments(NewParameters::signature, args, kwargs, values);
        // Every argument is converted before either type text is parsed.
        const TextArg source_type_arg = text_arg(values[0], "source_type");
        const TextArg source_location_arg = text_arg(values[1], "source_location");
        const TextArg knowledge_type_arg = text_arg(values[2], "knowledge_type");
        const TextArg domain_arg = text_arg(values[3], "domain");
        const TextArg content_arg = text_arg(values[4], "content");
        const auto parsed_source = parse_source_type(source_type_arg.view());
        if (!parsed_source) raise(PyExc_ValueError, kInvalidSourceType.data());
        const auto parsed_knowledge = parse_knowledge_type(knowledge_type_arg.view());
        if (!parsed_knowledge) raise(PyExc_ValueError, kInvalidKnowledgeType.data());
        return create_instance(
            type,
            KnowledgeObjectHandle{std::make_unique<const KnowledgeObject>(KnowledgeObject::create(
                *parsed_source, std::string(source_location_arg.view()), *parsed_knowledge,
                std::string(domain_arg.view()), std::string(content_arg.view())))});
    });
}

template <std::string KnowledgeObject::* Field>
PyObject* get_text_field(PyObject* self, void*) {
    return guard([&] {
        auto& instance = instance_of<KnowledgeObjectHandle>(self, knowledge_object_type());
        SharedBorrow borrow(instance.borrow);
        return to_str((*instance.value.object).*Field).release();
    });
}

PyObject* knowledge_object_repr(PyObject* self) {
    return guard([&] {
        auto& instance = instance_of<KnowledgeObjectHandle>(self, knowledge_object_type());
        SharedBorrow borrow(instance.borrow);
        const KnowledgeObject& object = *instance.value.object;
        std::string text = "KnowledgeObject(id='";
        text += object.id;
        text += "', domain='";
        text += object.domain;
        text += "', source='";
        text += object.source_location;
        text += "')";
        return to_str(text).release();
    });
}

PyGetSetDef kGetSet[] = {
    {"id", get_text_field<&KnowledgeObject::id>, nullptr, nullptr, nullptr},
    {"source_location", get_text_field<&KnowledgeObject::source_location>, nullptr, nullptr,
     nullptr},
    {"domain", get_text_field<&KnowledgeObject::domain>, nullptr, nullptr, nullptr},
    {"content", get_text_field<&KnowledgeObject::content>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(NewParameters::doc<"Python binding for KnowledgeObject">.data)},
    {Py_tp_new, reinterpret_cast<void*>(knowledge_object_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<KnowledgeObjectHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(knowledge_object_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr} /* sentinel */
};

PyType_Spec kSpec =
    class_spec("builtins.PyKnowledgeObject", sizeof(KnowledgeObjectInstance), kSlots);

LazyType g_type{&kSpec, "PyKnowledgeObject"};

}  // namespace

LazyType& knowledge_object_type() { return g_type; }

KnowledgeObjectHandle& knowledge_object_handle(PyObject* value, const char* name) {
    if (!Py_IS_TYPE(value, g_type.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a PyKnowledgeObject",
                     type_name_of(value).c_str());
        raise_argument_error(name);
    }
    return instance_of<KnowledgeObjectHandle>(value, g_type).value;
}

const KnowledgeObject& knowledge_object_value(PyObject* value, const char* name) {
    return *knowledge_object_handle(value, name).object;
}

const text::ContentDigest* content_digest(KnowledgeObjectHandle& handle) noexcept {
    constexpr std::uint8_t kSearchesBeforeDigest = 1;
    if (!handle.digested) {
        if (handle.searches < kSearchesBeforeDigest) {
            ++handle.searches;
            return nullptr;
        }
        try {
            handle.digest = text::ContentDigest::of(handle.object->content);
        } catch (const std::bad_alloc&) {
            // Searches read the content instead, as they would without digests.
        }
        handle.digested = true;
    }
    return handle.digest.empty() ? nullptr : &handle.digest;
}

KnowledgeObjectRef knowledge_object_arg(PyObject* value, const char* name) {
    const KnowledgeObject& object = knowledge_object_value(value, name);
    return KnowledgeObjectRef(value, *reinterpret_cast<KnowledgeObjectInstance*>(value), object);
}

}  // namespace revuradova::py
