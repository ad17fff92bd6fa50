out/top.xml: model/top.idl model/app/sensor.idl model/common/units.idl
