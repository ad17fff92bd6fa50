out/app/sensor.xml: model/app/sensor.idl model/common/units.idl
