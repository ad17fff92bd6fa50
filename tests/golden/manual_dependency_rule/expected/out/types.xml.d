out/types.xml: idl/types.idl idl/common/base.idl

idl/common/base.idl:
