#!/usr/bin/env python3
"""Writes the source texts of the encoding corpus: for each language, lines of everyday text taken
from Debian's message catalogues (/usr/share/locale/LANG/LC_MESSAGES, read with gettext's
msgunfmt) and translated manual pages (/usr/share/man/LANG), in a fixed order, as UTF-8, one
text a line, about 48 KB a language; and what the catalogues hold none of, written here: en.txt,
everyday English notes with signs of units and currencies (the catalogues hold no English of
their own); LANG-notes.txt, short notes of 24 to 100 bytes (addresses, prices, French elisions;
errands in Chinese, Japanese and Korean) as they are typed in every page, DOS's among them; LANG-euro.txt, prices whose only character
above ASCII is the euro; and for each Central European language LANG-csv.txt and
LANG-vcard.txt, contact lists exported as CSV rows and vCards (a card is lines up to a blank
line), made from the names, towns and streets below in a fixed order.

The corpus test (tests/sources/text_decoding_corpus_test.cpp) builds its texts from these files
in every code page each language is written in, so the texts it scores do not change with the
packages installed; run this again only to change the source set.

Usage: corpus.py FOLDER
"""

import glob
import gzip
import os
import random
import re
import subprocess
import unicodedata
import sys

LOCALE = "/usr/share/locale"
MAN = "/usr/share/man"
DOMAINS = ["coreutils", "glib20", "gtk30", "dpkg", "apt", "bash", "systemd", "tar", "grep",
           "shadow", "man-db", "util-linux", "sed", "findutils", "diffutils", "gettext-runtime"]
LANGUAGES = ["bg", "ca", "cs", "da", "de", "el", "eo", "es", "et", "fi", "fr", "hr", "hu", "is",
             "it", "ja", "ko", "lt", "lv", "nb", "nl", "pl", "pt", "ro", "ru", "sk", "sl", "sv", "th",
             "tr", "uk", "zh_CN", "zh_TW"]
SIZE = 48 * 1024

ENGLISH = [
    "The flat is 54 m² with a balcony and costs £850 a month, bills included.",
    "Preheat the oven to 180°C and bake for 25 minutes, then leave to cool.",
    "Add ½ cup of sugar and ¼ teaspoon of salt to the flour before mixing.",
    "Tickets cost €12 for adults and €6 for children under 12 years old.",
    "The sample was filtered through a 5µm membrane before the measurement.",
    "The tank holds 2 m³ of water, enough for a week in the summer.",
    "Lunch came to £32.50 for the four of us, which was not bad at all.",
    "The tolerance of the part is ±0.05 mm on every side of the block.",
    "Section § 4 of the lease says the deposit is returned within 30 days.",
    "The board measures 120 × 60 cm and weighs about 14 kg in all.",
    "It was 3° below zero this morning, so take a warm coat with you.",
    "Each share paid a dividend of 12¢ in the last quarter of the year.",
    "The hotel charged ¥18000 a night, breakfast and the spa included.",
    "Cut the wood to 1¾ inches and sand the edges before painting them.",
    "The garden is 300 m² in all, with a shed of 6 m² at the far end.",
    "A coffee is £2.80 here and a slice of cake another £3.20 on top.",
    "Store the vials between 2°C and 8°C and away from direct light.",
    "The new rate is 4½ per cent, fixed for the next two years at least.",
    "Delivery costs €4.99 within the country and €9.99 to other countries.",
    "The lens has a focal length of 50 mm and weighs 280 g without the cap.",
]

# Short notes as they are typed, of 24 to 100 bytes: addresses, times, prices, errands.
NOTES = {
    "cs": [
        "Sraz v pondělí v 9:00 na Křižíkova 12.",
        "Koupit mléko, chléb a máslo.",
        "Zavolej paní Dvořákové kvůli smlouvě.",
        "Schůzka přesunuta na čtvrtek, místnost č. 4.",
        "Klíče jsou u souseda v přízemí.",
        "Platba za nájem do 15. října: 12 500 Kč.",
        "Vyzvednout Terezu ze školky v půl čtvrté.",
        "Heslo k Wi-Fi je na lednici, nezapomeň.",
        "Oběd s Jiřím v restauraci U Fleků ve 12:30.",
        "Opravit kohoutek v koupelně a vyměnit žárovku.",
        "Poslat fakturu panu Růžičkovi do pátku.",
        "Vlak do Brna jede v 7:48 z hlavního nádraží.",
    ],
    "pl": [
        "Płacę 20 zł za obiad, oddasz mi jutro.",
        "Spotkanie we wtorek o 10:00 w Łodzi.",
        "Kupić chleb, masło i pół kilo jabłek.",
        "Zadzwoń do pani Wiśniewskiej po południu.",
        "Klucze zostawiłem u sąsiada na parterze.",
        "Czynsz za październik: 1 850 zł do 10-go.",
        "Odebrać Zosię ze żłobka o wpół do czwartej.",
        "Pociąg do Gdańska odjeżdża o 7:45 z peronu 2.",
        "Wizyta u dentysty przełożona na środę.",
        "Hasło do Wi-Fi jest na lodówce, nie zapomnij.",
        "Naprawić kran w łazience i wymienić żarówkę.",
        "Urodziny Łukasza w sobotę, kupić prezent.",
    ],
    "sk": [
        "Stretnutie v pondelok o 9:00 na Štúrovej 5.",
        "Kúpiť mlieko, chlieb a maslo.",
        "Zavolaj pani Horváthovej kvôli zmluve.",
        "Kľúče sú u suseda na prízemí.",
        "Nájomné za október: 650 € do 15. dňa.",
        "Vyzdvihnúť Ľubku zo škôlky o pol štvrtej.",
        "Vlak do Košíc ide o 6:55 z hlavnej stanice.",
        "Opraviť kohútik v kúpeľni a vymeniť žiarovku.",
    ],
    "hu": [
        "Találkozó hétfőn 9 órakor a Petőfi utcában.",
        "Venni kell tejet, kenyeret és vajat.",
        "Hívd fel Kovács Zsófiát a szerződés miatt.",
        "A kulcsok a szomszédnál vannak a földszinten.",
        "Lakbér októberre: 180 000 Ft, 15-ig.",
        "Győző szülinapja szombaton, ajándékot venni.",
        "A vonat Szegedre 7:40-kor indul a Nyugatiból.",
        "Megjavítani a csapot a fürdőszobában.",
    ],
    "hr": [
        "Sastanak u ponedjeljak u 9 sati u Ilici 12.",
        "Kupiti mlijeko, kruh i maslac.",
        "Nazovi gospođu Kovačević zbog ugovora.",
        "Ključevi su kod susjeda u prizemlju.",
        "Najam za listopad: 450 € do 15. u mjesecu.",
        "Pokupiti Đurđu iz vrtića u pola četiri.",
        "Vlak za Split polazi u 7:45 s glavnog kolodvora.",
        "Popraviti slavinu u kupaonici i promijeniti žarulju.",
    ],
    "sl": [
        "Sestanek v ponedeljek ob 9. uri na Čopovi 5.",
        "Kupi mleko, kruh in maslo.",
        "Pokliči gospo Kovačič zaradi pogodbe.",
        "Ključi so pri sosedu v pritličju.",
        "Najemnina za oktober: 520 € do 15. v mesecu.",
        "Poberi Špelo iz vrtca ob pol štirih.",
        "Vlak za Maribor odpelje ob 7.45 z glavne postaje.",
        "Popravi pipo v kopalnici in zamenjaj žarnico.",
    ],
    "de": [
        "Treffen am Montag um 9 Uhr in der Müllerstraße 12.",
        "Milch, Brot und Käse kaufen.",
        "Frau Schröder wegen des Vertrags anrufen.",
        "Schlüssel liegen beim Nachbarn im Erdgeschoss.",
        "Miete für Oktober: 850 € bis zum 15.",
        "Jörg um halb vier vom Kindergarten abholen.",
        "Der Zug nach München fährt um 7:45 von Gleis 3.",
        "Wasserhahn im Bad reparieren, Glühbirne tauschen.",
        "Geburtstag von Günter am Samstag, Geschenk kaufen.",
        "Arzttermin auf Mittwoch verschoben, 14 Uhr.",
    ],
    "es": [
        "C/ Mayor 5, 3.º izda., 28013 Madrid",
        "Reunión el lunes a las 9:00 en la oficina.",
        "Comprar leche, pan y mantequilla.",
        "Llamar a la señora Núñez por el contrato.",
        "Las llaves están con el vecino del 2.º B.",
        "Alquiler de octubre: 750 € antes del día 15.",
        "Recoger a Iñaki de la guardería a las cuatro.",
        "El tren a Sevilla sale a las 7:45 del andén 3.",
        "Arreglar el grifo del baño y cambiar la bombilla.",
        "Cumpleaños de Begoña el sábado, comprar regalo.",
        "Avda. de la Constitución 14, 1.ª planta, Cádiz",
    ],
    "fr": [
        "Réunion lundi à 9 h dans la salle du rez-de-chaussée.",
        "Acheter du lait, du pain et du beurre.",
        "Appeler Mme Lefèvre à propos du contrat.",
        "Les clés sont chez le voisin du 2e étage.",
        "Loyer d’octobre : 850 € avant le 15.",
        "Récupérer Zoé à la crèche à 16 h 30.",
        "Le train pour Nîmes part à 7 h 45, voie 3.",
        "Réparer le robinet de la salle de bains.",
        "L’anniversaire d’Hélène est samedi, acheter un cadeau.",
        "J’ai laissé le dossier sur ton bureau, c’est urgent.",
        "Qu’il n’oublie pas l’école demain matin à 8 h.",
        "Rendez-vous chez le médecin mercredi à 14 h.",
        "Rappeler l’électricien, la lumière de l’entrée ne marche plus.",
        "Il faut qu’on règle la note d’hôtel avant vendredi.",
    ],
    "ru": [
        "Встреча в понедельник в 9:00 на Тверской, 12.",
        "Купить молоко, хлеб и масло.",
        "Позвонить Ольге Петровне насчёт договора.",
        "Ключи у соседа на первом этаже.",
        "Квартплата за октябрь: 12 500 руб. до 15-го.",
        "Забрать Машу из садика в половине четвёртого.",
        "Поезд в Казань отходит в 7:45 с третьего пути.",
        "Починить кран в ванной и поменять лампочку.",
        "День рождения Серёжи в субботу, купить подарок.",
        "Приём у врача перенесли на среду, 14:00.",
    ],
}

# Short notes in Chinese, Japanese and Korean, the pages of two bytes to a character that the
# corpus reads them in with words, lines and signs pasted from UTF-8.
NOTES.update({
    "ja": [
        "買い物：牛乳、卵、食パン、りんご三つ",
        "明日の朝九時までに届けてください。",
        "会議は来週の水曜日に変更になりました。",
        "駅の東口で十時に待っています。",
        "田中さんに契約書の件で電話すること。",
        "鍵は一階の隣の人に預けてあります。",
        "家賃は十五日までに振り込んでください。",
        "新幹線は七時四十五分に三番線から出ます。",
    ],
    "zh_CN": [
        "购物清单：牛奶、鸡蛋、面包和三个苹果",
        "请在明天上午九点以前送到我家门口。",
        "会议改到下星期三下午两点。",
        "我在火车站东门等你，十点见。",
        "给王老师打电话，问一下合同的事。",
        "钥匙放在一楼邻居家里了。",
        "房租请在十五号以前转账。",
        "去上海的火车七点四十五分从三号站台出发。",
    ],
    "zh_TW": [
        "購物清單：牛奶、雞蛋、麵包和三個蘋果",
        "請在明天上午九點以前送到我家門口。",
        "會議改到下星期三下午兩點。",
        "我在火車站東門等你，十點見。",
        "給王老師打電話，問一下合約的事。",
        "鑰匙放在一樓鄰居家裡了。",
        "房租請在十五號以前轉帳。",
        "去高雄的火車七點四十五分從三號月台出發。",
    ],
    "ko": [
        "장보기: 우유, 계란, 식빵, 사과 세 개",
        "내일 아침 아홉 시까지 배달해 주세요.",
        "회의는 다음 주 수요일로 바뀌었습니다.",
        "역 동쪽 출구에서 열 시에 기다릴게요.",
        "계약서 때문에 김 선생님께 전화하기.",
        "열쇠는 일층 이웃집에 맡겨 두었어요.",
        "월세는 십오일까지 이체해 주세요.",
        "부산행 기차는 일곱 시 사십오 분에 떠나요.",
    ],
})

# Prices and sums whose only character above ASCII is the euro.
EURO = {
    "de": [
        "Das Essen kostet 25 € pro Person, Getränke extra.",
        "Bitte 40 € für das Geschenk bis Freitag überweisen.",
        "Eintritt 12 €, Kinder unter 6 Jahren frei.",
        "Die Reparatur kostet 180 € plus Material.",
        "Parken: 2,50 € pro Stunde, maximal 15 € am Tag.",
        "Der Kurs kostet 90 € und beginnt am 3. Mai.",
        "Tankfüllung 65 €, Maut 18 €.",
        "Monatskarte 49 €, Einzelfahrt 3,20 €.",
    ],
    "fr": [
        "Le repas est a 25 € par personne, boissons en plus.",
        "Merci de verser 40 € pour le cadeau avant vendredi.",
        "Entree 12 €, gratuit pour les moins de 6 ans.",
        "La reparation coute 180 € hors pieces.",
        "Parking : 2,50 € de l'heure, 15 € la journee.",
        "Le stage coute 90 € et commence le 3 mai.",
        "Plein d'essence 65 €, peage 18 €.",
        "Abonnement mensuel 75 €, ticket 2,10 €.",
    ],
    "fi": [
        "Ateria maksaa 25 € hengelta, juomat erikseen.",
        "Lahjaan 40 € perjantaihin mennessa.",
        "Sisaanpaasy 12 €, alle 6-vuotiaat ilmaiseksi.",
        "Korjaus maksaa 180 € ja osat paalle.",
        "Pysakointi 2,50 € tunnilta, 15 € paivalta.",
        "Kurssi maksaa 90 € ja alkaa 3. toukokuuta.",
    ],
}

# Given names, surnames (with the form a woman's name takes, where it differs), towns and
# streets, with the header a contact list is exported with, and the country's calling code.
CONTACTS = {
    "pl": {
        "given": ["Paweł", "Łukasz", "Małgorzata", "Agnieszka", "Krzysztof", "Józef", "Grażyna",
                  "Bożena", "Jarosław", "Michał", "Wojciech", "Zdzisław", "Ewa", "Katarzyna",
                  "Żaneta", "Mirosław", "Jędrzej", "Anna"],
        "surnames": [("Ścibor", "Ścibor"), ("Wiśniewski", "Wiśniewska"), ("Wójcik", "Wójcik"),
                     ("Kowalczyk", "Kowalczyk"), ("Żółkiewski", "Żółkiewska"),
                     ("Dąbrowski", "Dąbrowska"), ("Kozłowski", "Kozłowska"),
                     ("Jabłoński", "Jabłońska"), ("Król", "Król"), ("Górski", "Górska"),
                     ("Sęk", "Sęk"), ("Błaszczyk", "Błaszczyk"), ("Wróbel", "Wróbel"),
                     ("Łuczak", "Łuczak"), ("Pawłowski", "Pawłowska"), ("Nowak", "Nowak")],
        "towns": ["Łódź", "Kraków", "Wrocław", "Gdańsk", "Poznań", "Bielsko-Biała",
                  "Częstochowa", "Zielona Góra", "Toruń", "Rzeszów", "Białystok", "Świnoujście",
                  "Kielce", "Łomża", "Warszawa"],
        "streets": ["ul. Żeromskiego", "ul. Piękna", "ul. Świętokrzyska", "ul. Łąkowa",
                    "ul. Mickiewicza", "ul. Słoneczna", "ul. Wąska", "ul. Źródlana"],
        "header": "Imię;Nazwisko;Miejscowość;Telefon;E-mail",
        "country": ("48", "Polska"),
        "family_first": False,
    },
    "cs": {
        "given": ["Jiří", "Tomáš", "Lukáš", "Petr", "Jana", "Kateřina", "Lucie", "Zdeněk",
                  "Marie", "Věra", "Radek", "Miroslav", "Pavla", "Hana", "Ondřej", "Eliška",
                  "Tereza", "Šimon", "Matěj"],
        "surnames": [("Novák", "Nováková"), ("Dvořák", "Dvořáková"), ("Černý", "Černá"),
                     ("Procházka", "Procházková"), ("Kučera", "Kučerová"), ("Veselý", "Veselá"),
                     ("Horák", "Horáková"), ("Němec", "Němcová"), ("Pokorný", "Pokorná"),
                     ("Růžička", "Růžičková"), ("Beneš", "Benešová"), ("Šťastný", "Šťastná"),
                     ("Doležal", "Doležalová"), ("Král", "Králová"), ("Čermák", "Čermáková")],
        "towns": ["Praha", "Brno", "Ostrava", "Plzeň", "Liberec", "Olomouc",
                  "České Budějovice", "Hradec Králové", "Ústí nad Labem", "Pardubice", "Zlín",
                  "Havířov", "Frýdek-Místek", "Jihlava", "Třebíč", "Děčín"],
        "streets": ["Křižíkova", "Vinohradská", "Národní", "Žitná", "Růžová", "Husova",
                    "Školní", "Nádražní", "Palackého"],
        "header": "Jméno;Příjmení;Obec;Telefon;E-mail",
        "country": ("420", "Česká republika"),
        "family_first": False,
    },
    "sk": {
        "given": ["Ľubomír", "Ján", "Jozef", "Mária", "Zuzana", "Ľudmila", "Štefan", "Dušan",
                  "Martina", "Veronika", "Ľuboš", "Róbert", "Juraj", "Katarína", "Peter",
                  "Miroslava", "Dávid", "Tomáš"],
        "surnames": [("Horváth", "Horváthová"), ("Kováč", "Kováčová"), ("Varga", "Vargová"),
                     ("Tóth", "Tóthová"), ("Baláž", "Balážová"), ("Molnár", "Molnárová"),
                     ("Lukáč", "Lukáčová"), ("Šimko", "Šimková"), ("Mináč", "Mináčová"),
                     ("Ďurica", "Ďuricová"), ("Kráľ", "Kráľová"), ("Ťapák", "Ťapáková"),
                     ("Hríb", "Hríbová"), ("Polák", "Poláková")],
        "towns": ["Bratislava", "Košice", "Prešov", "Žilina", "Banská Bystrica", "Nitra",
                  "Trnava", "Trenčín", "Poprad", "Piešťany", "Zvolen", "Považská Bystrica",
                  "Michalovce", "Spišská Nová Ves", "Lučenec", "Ružomberok", "Šaľa"],
        "streets": ["Štúrova", "Obchodná", "Hlavná", "Mierová", "Záhradnícka",
                    "Hviezdoslavova", "Košická", "Šafárikova", "Ružová"],
        "header": "Meno;Priezvisko;Obec;Telefón;E-mail",
        "country": ("421", "Slovensko"),
        "family_first": False,
    },
    "hu": {
        "given": ["László", "Zsófia", "Gábor", "Katalin", "István", "Erzsébet", "Péter",
                  "Ildikó", "Zoltán", "Éva", "Tünde", "Győző", "Ágnes", "Ödön", "Réka",
                  "Gyöngyi", "Sándor", "Márta", "Bálint", "Csilla"],
        "surnames": [(n, n) for n in
                     ["Nagy", "Kovács", "Tóth", "Szabó", "Horváth", "Varga", "Kiss", "Molnár",
                      "Németh", "Farkas", "Balogh", "Takács", "Juhász", "Mészáros", "Oláh",
                      "Rácz", "Fekete", "Szűcs", "Pintér", "Gulyás", "Vörös", "Kőszegi"]],
        "towns": ["Budapest", "Debrecen", "Szeged", "Miskolc", "Pécs", "Győr", "Nyíregyháza",
                  "Kecskemét", "Székesfehérvár", "Szombathely", "Szolnok", "Tatabánya",
                  "Kaposvár", "Érd", "Veszprém", "Békéscsaba", "Sopron", "Hódmezővásárhely"],
        "streets": ["Kossuth Lajos utca", "Petőfi Sándor utca", "Rákóczi út", "Ady Endre út",
                    "Dózsa György út", "Széchenyi tér", "Bartók Béla út", "Fő utca",
                    "Kölcsey utca", "Jókai Mór utca"],
        "header": "Vezetéknév;Keresztnév;Település;Telefon;E-mail",
        "country": ("36", "Magyarország"),
        "family_first": True,
    },
    "hr": {
        "given": ["Ivan", "Marko", "Ana", "Željko", "Đurđa", "Dražen", "Snježana", "Vesna",
                  "Goran", "Tomislav", "Ivana", "Kristina", "Nikola", "Mirjana", "Božidar",
                  "Dubravka", "Ljiljana", "Krešimir", "Mateja", "Zoran"],
        "surnames": [(n, n) for n in
                     ["Horvat", "Kovačević", "Babić", "Marić", "Jurić", "Novak", "Kovačić",
                      "Knežević", "Vuković", "Marković", "Petrović", "Matić", "Tomić", "Božić",
                      "Blažević", "Grgić", "Radić", "Šarić", "Lovrić", "Šimić", "Đurić"]],
        "towns": ["Zagreb", "Split", "Rijeka", "Osijek", "Zadar", "Velika Gorica",
                  "Slavonski Brod", "Pula", "Karlovac", "Varaždin", "Šibenik", "Sisak",
                  "Vinkovci", "Dubrovnik", "Požega", "Đakovo", "Čakovec", "Vukovar"],
        "streets": ["Ilica", "Vukovarska", "Savska cesta", "Ulica kralja Zvonimira",
                    "Šetalište Ivana Meštrovića", "Ulica Matije Gupca", "Trg bana Jelačića",
                    "Ulica Ljudevita Gaja"],
        "header": "Ime;Prezime;Mjesto;Telefon;E-pošta",
        "country": ("385", "Hrvatska"),
        "family_first": False,
    },
    "sl": {
        "given": ["Jože", "Marija", "Franc", "Ana", "Janez", "Irena", "Mojca", "Matej", "Žiga",
                  "Špela", "Nataša", "Boštjan", "Urška", "Tadej", "Darja", "Gašper", "Nika",
                  "Bojan", "Maja", "Rok"],
        "surnames": [(n, n) for n in
                     ["Novak", "Horvat", "Kovačič", "Krajnc", "Zupančič", "Potočnik", "Kovač",
                      "Mlakar", "Kos", "Vidmar", "Golob", "Turk", "Kralj", "Bizjak", "Hribar",
                      "Kavčič", "Rozman", "Žagar", "Hočevar", "Košir", "Koželj"]],
        "towns": ["Ljubljana", "Maribor", "Celje", "Kranj", "Koper", "Velenje", "Novo mesto",
                  "Ptuj", "Trbovlje", "Kamnik", "Jesenice", "Nova Gorica", "Domžale",
                  "Škofja Loka", "Murska Sobota", "Žalec", "Šentjur", "Kočevje", "Črnomelj"],
        "streets": ["Slovenska cesta", "Trubarjeva ulica", "Prešernova ulica", "Čopova ulica",
                    "Gosposvetska cesta", "Tržaška cesta", "Šmartinska cesta", "Celovška cesta"],
        "header": "Ime;Priimek;Kraj;Telefon;E-pošta",
        "country": ("386", "Slovenija"),
        "family_first": False,
    },
    "ro": {
        "given": ["Ștefan", "Andreea", "Mihai", "Ioana", "Răzvan", "Cătălina", "Bogdan",
                  "Elena", "Florin", "Alexandra", "Gheorghe", "Mădălina", "Adrian", "Irina",
                  "Ionuț", "Mirela", "Constantin", "Oana", "Sorin", "Lăcrămioara"],
        "surnames": [(n, n) for n in
                     ["Popescu", "Ionescu", "Popa", "Rădulescu", "Dumitrescu", "Stănescu",
                      "Munteanu", "Ștefănescu", "Gheorghiu", "Lupașcu", "Țurcanu", "Bălan",
                      "Mureșan", "Chiriță", "Vlădescu", "Neagu", "Sârbu", "Zăvoianu"]],
        "towns": ["București", "Cluj-Napoca", "Timișoara", "Iași", "Constanța", "Craiova",
                  "Brașov", "Galați", "Ploiești", "Oradea", "Brăila", "Pitești", "Sibiu",
                  "Bacău", "Târgu Mureș", "Baia Mare", "Buzău", "Botoșani"],
        "streets": ["Strada Mihai Eminescu", "Bulevardul Unirii", "Strada Școlii",
                    "Calea Victoriei", "Strada Florilor", "Bulevardul Ștefan cel Mare",
                    "Strada Mărășești", "Strada Țebei"],
        "header": "Prenume;Nume;Localitate;Telefon;E-mail",
        "country": ("40", "România"),
        "family_first": False,
    },
}
CONTACT_RECORDS = 60


def ascii_form(name):
    folded = name.replace("ł", "l").replace("Ł", "L").replace("đ", "d").replace("Đ", "D")
    folded = unicodedata.normalize("NFKD", folded)
    return "".join(c for c in folded if not unicodedata.combining(c)).lower().replace(" ", "")


def contact_records(language):
    """CSV rows (the header first) and vCards of people of the language, in a fixed order."""
    names = CONTACTS[language]
    chosen = random.Random("contacts-" + language)
    rows = [names["header"]]
    cards = []
    code, country = names["country"]
    for _ in range(CONTACT_RECORDS):
        given = chosen.choice(names["given"])
        man, woman = chosen.choice(names["surnames"])
        surname = woman if given.endswith("a") and language != "hr" else man
        town = chosen.choice(names["towns"])
        street = f"{chosen.choice(names['streets'])} {chosen.randint(1, 120)}"
        phone = f"+{code} {chosen.randint(600, 799)} {chosen.randint(100, 999)} {chosen.randint(100, 999)}"
        mail = f"{ascii_form(given)}.{ascii_form(surname)}@example.org"
        first, second = (surname, given) if names["family_first"] else (given, surname)
        rows.append(";".join([first, second, town, phone, mail]))
        full = f"{surname} {given}" if names["family_first"] else f"{given} {surname}"
        cards.append("\n".join([
            "BEGIN:VCARD", "VERSION:3.0", f"N:{surname};{given};;;", f"FN:{full}",
            f"TEL;TYPE=CELL:{phone}", f"ADR;TYPE=HOME:;;{street};{town};;;{country}",
            "END:VCARD"]))
    return rows, cards


def write(folder, name, lines, separator="\n"):
    with open(os.path.join(folder, name), "w", encoding="utf-8") as out:
        out.write(separator.join(lines) + "\n")


def catalogue_lines(language):
    found = []
    for domain in DOMAINS:
        path = f"{LOCALE}/{language}/LC_MESSAGES/{domain}.mo"
        if not os.path.exists(path):
            continue
        listing = subprocess.run(["msgunfmt", path], capture_output=True, encoding="utf-8",
                                 errors="replace").stdout
        for match in re.finditer(r'msgstr "((?:[^"\\]|\\.)*)"', listing):
            found.append(match.group(1))
    return found


def manual_lines(language):
    found = []
    for path in sorted(glob.glob(f"{MAN}/{language}/man*/*.gz")):
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as page:
            for line in page:
                if line.startswith((".", "'")):
                    continue
                line = re.sub(r"\\f[BIRP]|\\f\(..|\\&|\\\||\\e", "", line)
                found.append(line.replace("\\-", "-").strip())
    return found


def usable(text):
    # Everyday text: no formats, escapes or markup, and some letters above ASCII.
    return (20 <= len(text) <= 200 and "%" not in text and "\\" not in text and "<" not in text
            and "\ufffd" not in text and "_" not in text and any(ord(c) > 127 for c in text))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for language in LANGUAGES:
        lines = sorted({t for t in catalogue_lines(language) + manual_lines(language) if usable(t)})
        random.Random(language).shuffle(lines)
        kept = []
        size = 0
        for line in lines:
            if size >= SIZE:
                break
            kept.append(line)
            size += len(line.encode()) + 1
        # The manuals' title of the POSIX base volume, in the wording its current edition uses.
        kept = [re.sub(r"Base \w+ications,", "Base Definitions,", line) for line in kept]
        write(folder, f"{language}.txt", kept)
        print(language, len(kept), size)
    write(folder, "en.txt", ENGLISH)
    for language, notes in NOTES.items():
        write(folder, f"{language}-notes.txt", notes)
    for language, prices in EURO.items():
        write(folder, f"{language}-euro.txt", prices)
    for language in CONTACTS:
        rows, cards = contact_records(language)
        write(folder, f"{language}-csv.txt", rows)
        write(folder, f"{language}-vcard.txt", cards, "\n\n")


if __name__ == "__main__":
    main()
