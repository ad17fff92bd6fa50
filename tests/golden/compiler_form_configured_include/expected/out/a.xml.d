out/a.xml: a.idl config.idl
