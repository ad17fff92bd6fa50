out/app/sensor.xml: model/app/sensor.idl model/app/../common/units.idl
