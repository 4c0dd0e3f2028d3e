/* A demo installation for the acquisition service: a small two-block
   building metered through simulated gateways (libSimInterface.so) and
   simulated meters (libSimMeter.so); see docs/SimMeter.md for the settings
   used in CONFIGS. Run after db/schema.sql (and db/grants.sql), as SYSDBA,
   over a UTF8 connection:
     isql-fb -ch UTF8 -user SYSDBA -password ... 127.0.0.1:/path/db.fdb -i db/demo.sql
   scripts/demo-setup does this once for the demo database.

   What the demo shows:
   - three gateways, one of them slow; an interface that no meter uses;
   - electricity meters with active and reactive energy, a water meter;
   - tariff periods: peak (weekdays 18:00-21:00), off-peak (weekdays
     21:00-18:00) and weekend/holiday (all day) for both energy variables;
     water has no periods (its values are stored with period 0);
   - Brazilian national holidays (the year is ignored: they recur);
   - a meter whose clock runs 6 hours ahead (EQUIP 20: DRV_ADDR2 = 6): its
     newest records are refused as future-dated and its clock is set;
   - a meter with a longer backlog (DRV_ADDR1 = days of history to catch up);
   - a Modbus meter (EQUIP 40) read every minute through the real Modbus
     packages (libModbusInterface.so, libModbusMeter.so) from the Modbus TCP
     meter simulator that scripts/demo starts on 127.0.0.1:1502
     (docs/ModbusMeter.md). Without the simulator it reports
     "Falha de leitura" and shows as without communication.
   Statements are separated by ";" and contain no procedural code. */

/* ---- Interfaces (gateways). CONFIGS: one "key=value" per line. ---- */

insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME)
values (1, 1, 'Gateway Bloco A',
        'latency_ms=20' || ascii_char(10) ||
        'interval_min=15' || ascii_char(10) ||
        'alarm_interval_min=360',
        'libSimInterface.so', 'GW-A');

insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME)
values (2, 2, 'Gateway Bloco B',
        'latency_ms=30' || ascii_char(10) ||
        'interval_min=15' || ascii_char(10) ||
        'equip.21.version=SimMeter 1.0 - Elevadores Bloco B',
        'libSimInterface.so', 'GW-B');

insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME)
values (3, 3, 'Gateway Utilidades',
        '# water meters: hourly records, two alarms a day' || ascii_char(10) ||
        'latency_ms=60' || ascii_char(10) ||
        'interval_min=60' || ascii_char(10) ||
        'alarm_interval_min=720',
        'libSimInterface.so', 'GW-U');

/* A spare gateway: created and opened, used by no driver. */
insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME)
values (4, 4, 'Gateway reserva', 'latency_ms=10', 'libSimInterface.so', 'GW-R');

/* ---- Drivers: one per gateway, all the simulated meter. ---- */

insert into DRIVERS (DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID)
values (1, 'Medidores Bloco A', 1, 'libSimMeter.so', 1);
insert into DRIVERS (DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID)
values (2, 'Medidores Bloco B', 2, 'libSimMeter.so', 2);
insert into DRIVERS (DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID)
values (3, 'Hidrômetros', 3, 'libSimMeter.so', 3);

/* ---- Variables and their tariff periods ----
   DIAS: 128 Sunday, 64 Monday, 32 Tuesday, 16 Wednesday, 8 Thursday,
   4 Friday, 2 Saturday, 1 holiday. 124 = Monday to Friday;
   131 = Saturday, Sunday and holidays. A window (start, end] that ends
   before it starts crosses midnight; 00:00 to 00:00 is the whole day. */

insert into VARIAVEIS (VAR_ID, TIPO, UNIDADE, DESCRICAO) values (1, 'E', 'kWh', 'Energia ativa');
insert into VARIAVEIS (VAR_ID, TIPO, UNIDADE, DESCRICAO) values (2, 'R', 'kvarh', 'Energia reativa');
insert into VARIAVEIS (VAR_ID, TIPO, UNIDADE, DESCRICAO) values (3, 'A', 'm³', 'Água');

insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (1, 1, 255, 'Ponta');
insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (2, 1, 65280, 'Fora de ponta');
insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (3, 1, 16711680, 'Fim de semana e feriados');
insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (4, 2, 255, 'Ponta');
insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (5, 2, 65280, 'Fora de ponta');
insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (6, 2, 16711680, 'Fim de semana e feriados');

insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (1, 1, '18:00', '21:00', 124);
insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (2, 2, '21:00', '18:00', 124);
insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (3, 3, '00:00', '00:00', 131);
insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (4, 4, '18:00', '21:00', 124);
insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (5, 5, '21:00', '18:00', 124);
insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) values (6, 6, '00:00', '00:00', 131);

/* ---- National holidays (Brazil) ---- */

insert into FERIADOS (DATA, DESCRICAO) values ('2025-01-01', 'Confraternização Universal');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-04-21', 'Tiradentes');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-05-01', 'Dia do Trabalho');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-09-07', 'Independência do Brasil');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-10-12', 'Nossa Senhora Aparecida');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-11-02', 'Finados');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-11-15', 'Proclamação da República');
insert into FERIADOS (DATA, DESCRICAO) values ('2025-12-25', 'Natal');

/* ---- Equipment (meters). SimMeter: DRV_ADDR1 = days of backlog,
   DRV_ADDR2 = hours its clock runs ahead. ---- */

insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (10, 1, 2, null, 'Medidor Bloco A - Geral');
insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (11, 1, 1, null, 'Medidor Bloco A - Elevadores');
insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (20, 2, 1, 6, 'Medidor Bloco B - Geral');
insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (21, 2, 1, null, 'Medidor Bloco B - Elevadores');
insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (30, 3, 3, null, 'Hidrômetro Entrada');

/* ---- Channels. LOCAL_ID: the unit of the building the channel feeds. ---- */

insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (101, 10, 0, 1, 1, 'E', 'Energia ativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (102, 10, 1, 2, 1, 'R', 'Energia reativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (111, 11, 0, 1, 2, 'E', 'Energia ativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (112, 11, 1, 2, 2, 'R', 'Energia reativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (201, 20, 0, 1, 3, 'E', 'Energia ativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (202, 20, 1, 2, 3, 'R', 'Energia reativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (211, 21, 0, 1, 4, 'E', 'Energia ativa');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (301, 30, 0, 3, 5, 'A', 'Consumo de água');

/* Live values: another application asks for them with a row such as
     insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE)
     values (10, dateadd(10 minute to current_timestamp));
   and reads ONLINE_VALUES while the request holds. */

/* ---- A Modbus meter (docs/ModbusMeter.md). CONFIGS of the bus: key=value
   items; DRV_ADDR1 = Modbus unit id, DRV_ADDR2 = sampling period in minutes;
   EQUIP_INDEX = how to read the register and its address (35000072: input
   registers, float32, high word first, address 72); LOCAL_ID is the unit of
   the building, as for every channel. Registers 72 and 76 are the imported
   active and reactive energies of the simulated three-phase meter. ---- */

insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME)
values (5, 5, 'Gateway Modbus (simulador)', 'host=127.0.0.1; port=1502; timeout_ms=500; retries=1',
        'libModbusInterface.so', 'MB-SIM');
insert into DRIVERS (DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID)
values (5, 'Medidores Modbus', 5, 'libModbusMeter.so', 5);
insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO)
values (40, 5, 1, 1, 'Medidor Modbus - QGBT');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (401, 40, 35000072, 1, 6, 'E', 'Energia ativa (Modbus)');
insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, DESCRICAO)
values (402, 40, 35000076, 2, 6, 'R', 'Energia reativa (Modbus)');
