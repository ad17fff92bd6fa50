out/b.xml: b.idl config.idl
