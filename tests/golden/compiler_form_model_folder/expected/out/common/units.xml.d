out/common/units.xml: model/common/units.idl
